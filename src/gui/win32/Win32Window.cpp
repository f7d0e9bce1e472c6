// The operator's window drawn with the Windows API: the fixed layout, the view's calls carried to
// the window's thread in call order, and the operator's actions handed back to the window's logic.
#include "gui/win32/Win32Window.h"

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <stdexcept>
#include <utility>

#include "base/Console.h"
#include "gui/StatusEcho.h"
#include "base/Product.h"
#include "gui/LocalGUI.h"

namespace {

using vexanet::ConsoleLine;
using vexanet::gui::StatusEchoLine;
namespace win32 = vexanet::gui::win32;
namespace slot = vexanet::gui::slot;

constexpr int kDarkGrey = 64;  // connect button disabled
constexpr int kX0 = 5;         // left margin of every row, in the client area
constexpr int kTop = 0;        // top of the client area
constexpr int kRowHeight = LocalGUI::h;
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kBackground =
    RGB(LocalGUI::backcol.red, LocalGUI::backcol.green, LocalGUI::backcol.blue);
const wchar_t* const kWindowClass = L"VexaNetServerWindow";

// Control identifiers; 1 and 2 are IDOK and IDCANCEL, which IsDialogMessage sends for Enter and
// Escape.
constexpr int kFirstSelectorId = 100;  // 100 ... 107: r[0] ... r[7]
constexpr int kConnectId = 110;
constexpr int kCloseId = 111;
constexpr int kLocalNameId = 120;
constexpr int kIpFieldId = 121;
constexpr int kPortFieldId = 122;
constexpr int kStatusFieldId = 123;
constexpr int kLabelId = 130;  // labels take 130 onwards, in the order they are made
constexpr UINT_PTR kFieldSubclass = 1;

// The status field shows about forty characters. A client's line may be 64 KiB long, and laying
// out such a text costs the field time and memory each time; it shows the first kStatusFieldMax
// characters and an ellipsis instead. The console gets the whole text.
constexpr size_t kStatusFieldMax = 512;

std::string ErrorText(const char* what, DWORD error = ::GetLastError()) {
  return std::string(what) + " failed (Windows error " + std::to_string(error) + ")";
}

// Texts are UTF-8 in the program and UTF-16 in the window. Invalid UTF-8 shows as U+FFFD.
std::wstring Wide(const char* text, size_t size) {
  if (size == 0) return {};
  const int length = static_cast<int>(std::min<size_t>(size, 0x7fffffff / 2));
  const int units = ::MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0);
  if (units <= 0) return {};
  std::wstring wide(static_cast<size_t>(units), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text, length, wide.data(), units);
  return wide;
}

std::wstring Wide(const std::string& text) {
  return Wide(text.data(), text.size());
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int bytes =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string narrow(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, narrow.data(), bytes, nullptr, nullptr);
  return narrow;
}

std::wstring TextOf(HWND control) {
  const int length = ::GetWindowTextLengthW(control);
  if (length <= 0) return {};
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int got = ::GetWindowTextW(control, text.data(), length + 1);
  text.resize(static_cast<size_t>(std::max(got, 0)));
  return text;
}

// What the status field shows of a text: at most kStatusFieldMax UTF-16 units and an ellipsis.
// Only the start of a long text is converted: 4 bytes per unit cover kStatusFieldMax + 1 whole
// characters, so a character cut at the end of that start is never shown.
std::wstring FieldText(const std::string& text) {
  constexpr size_t kBytes = 4 * (kStatusFieldMax + 2);
  std::wstring shown = Wide(text.data(), std::min(text.size(), kBytes));
  if (shown.size() > kStatusFieldMax) {
    size_t keep = kStatusFieldMax;
    if (IS_HIGH_SURROGATE(shown[keep - 1])) --keep;  // never half a character
    shown.resize(keep);
    shown.push_back(L'\x2026');
  }
  return shown;
}

void RegisterWindowClass(WNDPROC procedure) {
  static const bool registered = [procedure] {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = procedure;
    cls.hInstance = ::GetModuleHandleW(nullptr);
    cls.hIcon = ::LoadIconW(nullptr, MAKEINTRESOURCEW(32512));      // IDI_APPLICATION
    cls.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    cls.lpszClassName = kWindowClass;
    return ::RegisterClassExW(&cls) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  if (!registered) throw std::runtime_error("Registering the window class failed");
}

}  // namespace

Win32Window::Win32Window(LocalGUI& logic, int32_t port)
    : logic_(logic), threadId_(::GetCurrentThreadId()) {
  try {
    constexpr int w = LocalGUI::w;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    RegisterWindowClass(WindowProc);

    // Title, font and colours, made once; every control gets the font and, through the
    // WM_CTLCOLOR... messages, the background and the black text. Only "Let Client Connect"
    // keeps its own greys. The fixed layout counts the font height in pixels (13 px text in
    // 24 px rows): the negative height asks for 13 px characters. "Helvetica" is not a Windows
    // font; the font mapper substitutes its sans-serif stand-in (Arial on Windows).
    backBrush_ = ::CreateSolidBrush(kBackground);
    if (backBrush_ == nullptr) throw std::runtime_error(ErrorText("CreateSolidBrush"));
    font_ = ::CreateFontW(-vexanet::product::kFontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                          DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                          DEFAULT_PITCH | FF_SWISS, L"Helvetica");
    if (font_ == nullptr) throw std::runtime_error(ErrorText("CreateFont"));
    if (HDC screen = ::GetDC(nullptr)) {
      HGDIOBJ previous = ::SelectObject(screen, font_);
      TEXTMETRICW metrics{};
      if (::GetTextMetricsW(screen, &metrics)) fieldTextHeight_ = metrics.tmHeight;
      ::SelectObject(screen, previous);
      ::ReleaseDC(nullptr, screen);
    }

    // The window is GUIwidth wide and 209 pixels plus its top inset (caption and border) high,
    // measured from its outer corner, so the client area keeps the 209 rows minus the bottom
    // border. The program sets neither its position nor whether it can be resized.
    const DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
    RECT frame{0, 0, 0, 0};
    ::AdjustWindowRectEx(&frame, style, FALSE, 0);
    window = ::CreateWindowExW(0, kWindowClass, Wide(std::string(vexanet::product::kTitle)).c_str(),
                               style, CW_USEDEFAULT, CW_USEDEFAULT, LocalGUI::GUIwidth,
                               -frame.top + kTop + 209, nullptr, nullptr,
                               ::GetModuleHandleW(nullptr), this);
    if (window == nullptr) throw std::runtime_error(ErrorText("CreateWindowEx"));

    // The controls, in the order of the Qt window's steps 6 to 11 (which is also the order Tab
    // visits them). Positions are in client-area coordinates, so there are no insets to read.
    const DWORD label = WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE;
    const DWORD field = WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL;
    int labelId = kLabelId;

    // 6. Product label and relay labels.
    prodlabel = Add(L"STATIC", Wide(std::string(vexanet::product::kLabel)), label, 0, kX0, kTop,
                    300, labelId++);
    for (size_t n = 0; n < 8; ++n) {
      LabelR[n] = Add(L"STATIC", L"R" + std::to_wstring(n + 1), label, 0,
                      kX0 + w * static_cast<int>(n) + 5, kTop + 22, w, labelId++);
    }

    // 5, 7. Selectors with "Off" and "On"; only the operator's choice raises the action.
    for (size_t n = 0; n < 8; ++n) AddSelector(n, kX0 + w * static_cast<int>(n), kTop + 46);

    // 8. Heading, Host/PWD; Enter in the field is the operator's action (FieldProc).
    netlabel = Add(L"STATIC", L"VexaNet Server Network Controls", label, 0, kX0, kTop + 76, 300,
                   labelId++);
    namelabel = Add(L"STATIC", L"Host/PWD", label, 0, kX0, kTop + 100, 70, labelId++);
    localname =
        Add(L"EDIT", L"", field, WS_EX_CLIENTEDGE, kX0 + 125, kTop + 100, 230, kLocalNameId);

    // 9. IP address and port (read-only); 2. the listening port.
    addresslabel = Add(L"STATIC", L"IP Address", label, 0, kX0, kTop + 124, 70, labelId++);
    ipfield = Add(L"EDIT", L"", field | ES_READONLY, WS_EX_CLIENTEDGE, kX0 + 125, kTop + 124, 230,
                  kIpFieldId);
    portlabel = Add(L"STATIC", L"Socket Port", label, 0, kX0, kTop + 148, 70, labelId++);
    portfield = Add(L"EDIT", L"2001", field | ES_READONLY, WS_EX_CLIENTEDGE, kX0 + 125, kTop + 148,
                    50, kPortFieldId);
    ::SetWindowTextW(portfield, std::to_wstring(port).c_str());

    // 10. The two buttons, drawn by us (WM_DRAWITEM) so that their colours hold with visual
    // styles too; "Let Client Connect" starts disabled, dark gray.
    const DWORD button = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW;
    bconnect =
        Add(L"BUTTON", L"Let Client Connect", button, 0, kX0 + 235, kTop + 148, 120, kConnectId);
    ApplyConnectButton(false, kDarkGrey);
    bclose = Add(L"BUTTON", L"Close", button, 0, kX0 + 175, kTop + 148, 60, kCloseId);

    // 11. Status.
    statuslabel = Add(L"STATIC", L"Status/Results", label, 0, kX0, kTop + 177, 100, labelId++);
    statusfield = Add(L"EDIT", L"", field | ES_READONLY, WS_EX_CLIENTEDGE, kX0 + 100, kTop + 177,
                      300, kStatusFieldId);

    // 12. Tab and Enter through the event loop's IsDialogMessage; show the window once,
    // complete. The close request arrives as WM_CLOSE.
    win32::SetDialogWindow(window);
    ::ShowWindow(window, SW_SHOWDEFAULT);
    ::UpdateWindow(window);
  } catch (...) {
    Release();
    throw;
  }
}

Win32Window::~Win32Window() {
  AssertViewThread("Win32Window::~Win32Window");
  Release();
}

void Win32Window::Release() {
  if (window != nullptr) {
    if (win32::DialogWindow() == window) win32::SetDialogWindow(nullptr);
    ::DestroyWindow(window);  // and every control with it
    window = nullptr;
  }
  // The controls are gone: now their font and brushes may go.
  if (font_ != nullptr) ::DeleteObject(font_);
  if (backBrush_ != nullptr) ::DeleteObject(backBrush_);
  for (auto& [level, brush] : greyBrushes_) ::DeleteObject(brush);
  font_ = nullptr;
  backBrush_ = nullptr;
  greyBrushes_.clear();
}

// --- building -----------------------------------------------------------------------------------

HWND Win32Window::Add(const wchar_t* kind, const std::wstring& text, DWORD style, DWORD exStyle,
                      int x, int y, int width, int id) {
  HWND control = ::CreateWindowExW(exStyle, kind, text.c_str(), style, x, y, width, kRowHeight,
                                   window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   ::GetModuleHandleW(nullptr), nullptr);
  if (control == nullptr) throw std::runtime_error(ErrorText("Creating a control"));
  ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  if (std::wstring(kind) == L"EDIT") {
    ::SetWindowSubclass(control, FieldProc, kFieldSubclass, reinterpret_cast<DWORD_PTR>(this));
    CentreFieldText(control);
  }
  return control;
}

void Win32Window::AddSelector(size_t n, int x, int y) {
  // A drop-down list, drawn by us (WM_DRAWITEM) so that the background holds with visual styles
  // too. Its height given here includes the dropped list, room for both items.
  constexpr int kItemHeight = kRowHeight - 6;
  const DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST |
                      CBS_OWNERDRAWFIXED | CBS_HASSTRINGS;
  HWND selector = ::CreateWindowExW(
      0, L"COMBOBOX", L"", style, x, y, LocalGUI::w, kRowHeight + 2 * kItemHeight + 4, window,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstSelectorId + static_cast<int>(n))),
      ::GetModuleHandleW(nullptr), nullptr);
  if (selector == nullptr) throw std::runtime_error(ErrorText("Creating a selector"));
  r[n] = selector;
  ::SendMessageW(selector, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  ::SendMessageW(selector, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Off"));
  ::SendMessageW(selector, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"On"));
  ::SendMessageW(selector, CB_SETITEMHEIGHT, 0, kItemHeight);
  ::SendMessageW(selector, CB_SETCURSEL, 0, 0);
  shown_[n] = 0;
  // The closed selector is its selection field plus the frame: make it one row high, whatever
  // frame this system draws. Measured, not computed: Wine's selector counts two more pixels for
  // the field than it reports, so a second step corrects the first.
  LRESULT fieldHeight = ::SendMessageW(selector, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
  for (int step = 0; step < 3 && fieldHeight != CB_ERR; ++step) {
    RECT closed{};
    ::GetWindowRect(selector, &closed);
    const int difference = kRowHeight - static_cast<int>(closed.bottom - closed.top);
    if (difference == 0 || fieldHeight + difference <= 0) break;
    fieldHeight += difference;
    ::SendMessageW(selector, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), fieldHeight);
  }
}

// A single-line edit control draws its text at the top; Qt's fields centre it. The spare rows
// become part of the frame (WM_NCCALCSIZE in FieldProc), painted with the field's background.
void Win32Window::CentreFieldText(HWND field) {
  ::SetWindowPos(field, nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

// --- WindowView: calls from any thread -----------------------------------------------------------

void Win32Window::ShowIP(const std::string& text) {
  calls_.Run(
      [this, shown = Wide(text)] {
        AssertViewThread("Win32Window::ShowIP");
        ::SetWindowTextW(ipfield, shown.c_str());
      },
      {}, slot::kAddress);
}

void Win32Window::ShowStatus(const std::string& text, bool echo) {
  calls_.Run(
      [this, shown = FieldText(text)] {
        AssertViewThread("Win32Window::ShowStatus");
        ::SetWindowTextW(statusfield, shown.c_str());
      },
      // Printed when the text takes its place in the order, so the console shows the texts in
      // the order the field does, and at once.
      [&text, echo] {
        if (echo) ConsoleLine(StatusEchoLine(text));
      },
      slot::kStatus);
}

void Win32Window::SelectRelay(int32_t relay, int32_t item) {
  if (relay < 0 || relay > 7 || item < 0 || item > 1) return;
  calls_.Run(
      [this, relay, item] {
        AssertViewThread("Win32Window::SelectRelay");
        const auto n = static_cast<size_t>(relay);
        shown_[n] = item;
        // Sends no CBN_SELCHANGE: the program's choice is not the operator's action.
        ::SendMessageW(r[n], CB_SETCURSEL, static_cast<WPARAM>(item), 0);
      },
      {}, slot::Relay(relay));
}

void Win32Window::SetConnectButton(bool enabled, int grey) {
  calls_.Run([this, enabled, grey] { ApplyConnectButton(enabled, grey); }, {},
             slot::kConnectButton);
}

void Win32Window::SetLocalName(const std::string& text) {
  calls_.Run(
      [this, shown = Wide(text)] {
        AssertViewThread("Win32Window::SetLocalName");
        ::SetWindowTextW(localname, shown.c_str());
      },
      {}, slot::kLocalName);
}

// --- the queue of calls for the window's thread --------------------------------------------------

bool Win32Window::PostDrain() {
  // The message goes to the window, not to the thread: a modal loop (a moved window, a menu)
  // dispatches it too. The window lives as long as this object, and a message posted to a
  // window that is gone is dropped.
  if (::PostMessageW(window, win32::kRunCalls, 0, 0)) return true;
  const DWORD error = ::GetLastError();
  if (!postFailed_.exchange(true)) {
    ConsoleLine(ErrorText("Posting to the window", error) + "; updates are delayed");
  }
  return false;
}

void Win32Window::Drain() {
  AssertViewThread("Win32Window::Drain");
  calls_.Drain();
}

void Win32Window::Wait() {
  calls_.Wait();
}

void Win32Window::AssertViewThread(const char* where) const {
  if (OnViewThread()) return;
  ConsoleLine(std::string(where) + " called outside the window's thread");
  std::abort();
}

// --- the window's thread: messages ---------------------------------------------------------------

LRESULT CALLBACK Win32Window::WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* made = static_cast<Win32Window*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    made->window = hwnd;  // messages arrive before CreateWindowEx returns
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(made));
  }
  auto* self = reinterpret_cast<Win32Window*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (msg == WM_NCDESTROY) ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
  if (self == nullptr) return ::DefWindowProcW(hwnd, msg, wp, lp);
  // Exceptions must not unwind through the system's message dispatch.
  try {
    return self->Handle(msg, wp, lp);
  } catch (const std::exception& e) {
    ConsoleLine(std::string("Window event failed: ") + e.what());
  } catch (...) {
    ConsoleLine("Window event failed");
  }
  return 0;
}

LRESULT Win32Window::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case win32::kRunCalls:
      Drain();
      return 0;

    case WM_CTLCOLORSTATIC:   // labels and the read-only fields
    case WM_CTLCOLOREDIT:     // Host/PWD
    case WM_CTLCOLORLISTBOX:  // the selectors' dropped lists
    case WM_CTLCOLORBTN: {
      HDC dc = reinterpret_cast<HDC>(wp);
      ::SetTextColor(dc, kBlack);
      ::SetBkColor(dc, kBackground);
      return reinterpret_cast<LRESULT>(backBrush_);
    }

    case WM_ERASEBKGND: {
      RECT client{};
      ::GetClientRect(window, &client);
      ::FillRect(reinterpret_cast<HDC>(wp), &client, backBrush_);
      return 1;
    }

    case WM_MEASUREITEM: {
      // The selectors' items, asked for while each selector is made.
      auto* item = reinterpret_cast<MEASUREITEMSTRUCT*>(lp);
      if (item->CtlType != ODT_COMBOBOX) break;
      item->itemHeight = kRowHeight - 6;
      return TRUE;
    }

    case WM_DRAWITEM: {
      const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
      if (item.CtlType == ODT_BUTTON) {
        DrawButton(item);
      } else if (item.CtlType == ODT_COMBOBOX) {
        DrawSelectorItem(item);
      } else {
        break;
      }
      return TRUE;
    }

    case WM_COMMAND:
      if (lp != 0) OnCommand(LOWORD(wp), HIWORD(wp));
      return 0;

    case WM_ACTIVATE:
      // Like a dialog: the focus returns to the control that had it, first to selector r1.
      if (LOWORD(wp) == WA_INACTIVE) {
        HWND focused = ::GetFocus();
        if (focused != nullptr && ::IsChild(window, focused)) focus_ = focused;
      } else if (HIWORD(wp) == 0) {  // not minimised
        HWND next = focus_ != nullptr ? focus_ : r[0];
        if (next != nullptr) ::SetFocus(next);
      }
      return 0;

    case WM_CLOSE:
      // The window is never closed other than by ending the process.
      logic_.RequestClose();
      return 0;

    case WM_ENDSESSION:
      if (wp) win32::EndProcessNow();
      return 0;

    default:
      break;
  }
  return ::DefWindowProcW(window, msg, wp, lp);
}

void Win32Window::OnCommand(int id, int code) {
  if (id >= kFirstSelectorId && id < kFirstSelectorId + 8) {
    OnSelectorNotice(static_cast<size_t>(id - kFirstSelectorId), code);
  } else if (id == kConnectId && (code == BN_CLICKED || code == BN_DOUBLECLICKED)) {
    // An owner-drawn button reports a quick second click as a double click. A disabled button
    // takes no mouse input, but BM_CLICK reaches it all the same (at least under Wine).
    if (::IsWindowEnabled(bconnect)) logic_.OnConnect();
  } else if (id == kCloseId && (code == BN_CLICKED || code == BN_DOUBLECLICKED)) {
    logic_.OnClose();
  }
}

// Which notices of a drop-down list are the operator's choice:
//  - CBN_SELENDOK with the list dropped: an item was clicked, or Enter pressed on it; the same
//    item as before counts too, as a choice made again;
//  - CBN_SELENDOK or CBN_SELCHANGE with the list closed: the arrow keys, a typed letter or the
//    mouse wheel moved the selection; counted once, when it differs from what the selector
//    showed (the system sends both notices for one change);
//  - CBN_SELCHANGE with the list dropped only follows the arrow keys through the list;
//  - CBN_SELENDCANCEL: the list closed without a choice; the selector shows its relay again.
void Win32Window::OnSelectorNotice(size_t n, int code) {
  HWND selector = r[n];
  const auto current = static_cast<int>(::SendMessageW(selector, CB_GETCURSEL, 0, 0));
  const bool dropped = ::SendMessageW(selector, CB_GETDROPPEDSTATE, 0, 0) != FALSE;
  switch (code) {
    case CBN_SELENDOK:
      if (dropped || current != shown_[n]) Choose(n, current);
      break;
    case CBN_SELCHANGE:
      if (!dropped && current != shown_[n]) Choose(n, current);
      break;
    case CBN_SELENDCANCEL:
      if (current != shown_[n]) {
        ::SendMessageW(selector, CB_SETCURSEL, static_cast<WPARAM>(shown_[n]), 0);
      }
      break;
    default:
      break;
  }
}

void Win32Window::Choose(size_t n, int item) {
  if (item < 0 || item > 1) return;
  shown_[n] = item;
  logic_.OnSelector(static_cast<int32_t>(n), item);
}

LRESULT CALLBACK Win32Window::FieldProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR /*id*/,
                                        DWORD_PTR selfData) {
  auto* self = reinterpret_cast<Win32Window*>(selfData);
  switch (msg) {
    case WM_GETDLGCODE:
      // Enter in Host/PWD is ours, not IsDialogMessage's default button.
      if (hwnd == self->localname && wp == VK_RETURN) {
        return ::DefSubclassProc(hwnd, msg, wp, lp) | DLGC_WANTALLKEYS;
      }
      break;

    case WM_KEYDOWN:
      if (hwnd == self->localname && wp == VK_RETURN) {
        // The text as it is now; the action runs on the worker.
        try {
          self->logic_.OnEnter(Narrow(TextOf(hwnd)));
        } catch (const std::exception& e) {
          ConsoleLine(std::string("Window event failed: ") + e.what());
        }
        return 0;
      }
      break;

    case WM_CHAR:
      if (wp == L'\r' || wp == L'\n') return 0;  // no beep for Enter
      break;

    case WM_NCCALCSIZE: {
      // Centre the text line: the rows above and below it become frame.
      const LRESULT result = ::DefSubclassProc(hwnd, msg, wp, lp);
      RECT& client =
          wp ? reinterpret_cast<NCCALCSIZE_PARAMS*>(lp)->rgrc[0] : *reinterpret_cast<RECT*>(lp);
      const int spare = static_cast<int>(client.bottom - client.top) - self->fieldTextHeight_;
      if (self->fieldTextHeight_ > 0 && spare > 1) {
        client.top += spare / 2;
        client.bottom -= spare - spare / 2;
      }
      return result;
    }

    case WM_NCPAINT: {
      // The border as usual, then the rows above and below the text in the field's background.
      const LRESULT result = ::DefSubclassProc(hwnd, msg, wp, lp);
      if (HDC dc = ::GetWindowDC(hwnd)) {
        RECT outer{};
        ::GetWindowRect(hwnd, &outer);
        RECT text{};
        ::GetClientRect(hwnd, &text);
        ::MapWindowPoints(hwnd, nullptr, reinterpret_cast<POINT*>(&text), 2);
        ::OffsetRect(&text, -outer.left, -outer.top);
        ::OffsetRect(&outer, -outer.left, -outer.top);
        ::InflateRect(&outer, -::GetSystemMetrics(SM_CXEDGE), -::GetSystemMetrics(SM_CYEDGE));
        ::ExcludeClipRect(dc, text.left, text.top, text.right, text.bottom);
        ::FillRect(dc, &outer, self->backBrush_);
        ::ReleaseDC(hwnd, dc);
      }
      return result;
    }

    case WM_NCHITTEST: {
      // A click on the rows above or below the text is a click in the field.
      const LRESULT hit = ::DefSubclassProc(hwnd, msg, wp, lp);
      return hit == HTNOWHERE || hit == HTBORDER ? HTCLIENT : hit;
    }

    case WM_NCDESTROY:
      ::RemoveWindowSubclass(hwnd, FieldProc, kFieldSubclass);
      break;

    default:
      break;
  }
  return ::DefSubclassProc(hwnd, msg, wp, lp);
}

// --- drawing -------------------------------------------------------------------------------------

void Win32Window::DrawButton(const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  RECT face = item.rcItem;
  const bool pressed = (item.itemState & ODS_SELECTED) != 0;
  ::FillRect(dc, &face, item.hwndItem == bconnect ? GreyBrush(connectGrey_) : backBrush_);
  ::DrawEdge(dc, &face, pressed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
  RECT text = face;
  if (pressed) ::OffsetRect(&text, 1, 1);
  HGDIOBJ previous = ::SelectObject(dc, font_);
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, kBlack);
  const std::wstring caption = TextOf(item.hwndItem);
  ::DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &text,
              DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  ::SelectObject(dc, previous);
  if ((item.itemState & ODS_FOCUS) != 0 && (item.itemState & ODS_NOFOCUSRECT) == 0) {
    RECT focus = face;
    ::InflateRect(&focus, -3, -3);
    ::DrawFocusRect(dc, &focus);
  }
}

void Win32Window::DrawSelectorItem(const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  RECT area = item.rcItem;
  const bool highlighted = (item.itemState & ODS_SELECTED) != 0;
  ::FillRect(dc, &area, highlighted ? ::GetSysColorBrush(COLOR_HIGHLIGHT) : backBrush_);
  if (static_cast<int>(item.itemID) >= 0) {
    wchar_t caption[16] = {};
    const LRESULT length = ::SendMessageW(item.hwndItem, CB_GETLBTEXTLEN, item.itemID, 0);
    if (length != CB_ERR && length < 16) {
      ::SendMessageW(item.hwndItem, CB_GETLBTEXT, item.itemID, reinterpret_cast<LPARAM>(caption));
    }
    HGDIOBJ previous = ::SelectObject(dc, font_);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, highlighted ? ::GetSysColor(COLOR_HIGHLIGHTTEXT) : kBlack);
    RECT text = area;
    text.left += 3;
    ::DrawTextW(dc, caption, -1, &text, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    ::SelectObject(dc, previous);
  }
  if ((item.itemState & ODS_FOCUS) != 0 && (item.itemState & ODS_NOFOCUSRECT) == 0) {
    ::DrawFocusRect(dc, &area);
  }
}

void Win32Window::ApplyConnectButton(bool enabled, int grey) {
  AssertViewThread("Win32Window::SetConnectButton");
  connectGrey_ = std::clamp(grey, 0, 255);
  GreyBrush(connectGrey_);
  ::EnableWindow(bconnect, enabled ? TRUE : FALSE);
  ::InvalidateRect(bconnect, nullptr, TRUE);
}

// One brush per grey level, made once and kept: the button takes only a few levels.
HBRUSH Win32Window::GreyBrush(int level) {
  auto it = greyBrushes_.find(level);
  if (it == greyBrushes_.end()) {
    HBRUSH brush = ::CreateSolidBrush(RGB(level, level, level));
    if (brush == nullptr) return backBrush_;
    it = greyBrushes_.emplace(level, brush).first;
  }
  return it->second;
}

// --- the backend's entry points ------------------------------------------------------------------

std::unique_ptr<WindowView> MakeWindowView(LocalGUI& window, int32_t port) {
  if (window.Headless()) return nullptr;  // LocalGUI echoes the status texts itself
  std::unique_ptr<WindowView> view;
  try {
    win32::RunOnLoopThreadAndWait([&] { view = std::make_unique<Win32Window>(window, port); });
  } catch (const std::exception& e) {
    ConsoleLine(std::string("Cannot show the window: ") + e.what());
    window.SetHeadless(true);
    ConsoleLine(win32::kNoWindowLine);
    return nullptr;
  }
  return view;
}

void DestroyWindowView(std::unique_ptr<WindowView> view) {
  if (!view) return;
  if (view->OnViewThread()) {
    view.reset();
    return;
  }
  win32::RunOnLoopThreadAndWait([&] { view.reset(); });
}
