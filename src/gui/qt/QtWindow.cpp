// The operator's window drawn with Qt Widgets: the fixed layout, the view's calls carried to the
// GUI thread in call order, and the operator's actions handed back to the window's logic.
#include "gui/qt/QtWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QMargins>
#include <QPushButton>
#include <QRect>
#include <QString>
#include <algorithm>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Console.h"
#include "gui/StatusEcho.h"
#include "base/Product.h"
#include "gui/LocalGUI.h"

namespace {

using vexanet::gui::AssertGuiThread;
namespace slot = vexanet::gui::slot;

constexpr int kDarkGrey = 64;  // connect button disabled
constexpr int kX0 = 5;         // left margin of every row (the frame's inset is not ours)
constexpr int kTop = 0;        // top of the client area

// The status field shows about forty characters. A client's line may be 64 KiB long, and laying
// out such a text costs the field megabytes each time; it shows the first kStatusFieldMax
// characters and an ellipsis instead. The console gets the whole text.
constexpr qsizetype kStatusFieldMax = 512;

QString FieldText(const std::string& text) {
  QString shown = QString::fromStdString(text);
  if (shown.size() > kStatusFieldMax) {
    shown.truncate(kStatusFieldMax);
    shown.append(QChar(0x2026));
  }
  return shown;
}

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A component is created without a parent and handed to the window when it is added, like the
// window's own steps: create everything, then add and place one by one.
template <typename T>
class Part {
 public:
  template <typename... Args>
  explicit Part(T*& field, Args&&... args)
      : owned_(std::make_unique<T>(std::forward<Args>(args)...)) {
    field = owned_.get();
  }
  T* operator->() const { return owned_.get(); }
  // Adds the component to the window (which then owns it) and places it.
  void AddTo(QWidget* window, const QRect& bounds) {
    owned_->setParent(window);
    owned_->setGeometry(bounds);
    owned_.release();
  }

 private:
  std::unique_ptr<T> owned_;
};

QRect Bounds(int x, int y, int width) {
  return QRect(x, y, width, LocalGUI::h);
}

}  // namespace

QtWindow::QtWindow(LocalGUI& logic, int32_t port) : logic_(logic), gui_(this) {
  // A new object belongs to the thread that makes it, so compare with the application's thread.
  AssertGuiThread(QCoreApplication::instance(), "QtWindow::QtWindow");
  constexpr int w = LocalGUI::w;

  // 1. Create the components.
  std::vector<Part<QLabel>> relayLabels;
  relayLabels.reserve(8);
  for (size_t n = 0; n < 8; ++n) relayLabels.emplace_back(LabelR[n], "R" + QString::number(n + 1));
  std::vector<Part<QComboBox>> selectors;
  selectors.reserve(8);
  for (size_t n = 0; n < 8; ++n) selectors.emplace_back(r[n]);
  Part<QPushButton> connectButton(bconnect, "Let Client Connect");
  Part<QPushButton> closeButton(bclose, "Close");
  Part<QLabel> heading(netlabel, "VexaNet Server Network Controls");
  Part<QLabel> nameLabel(namelabel, "Host/PWD");
  Part<QLabel> addressLabel(addresslabel, "IP Address");
  Part<QLabel> portLabel(portlabel, "Socket Port");
  Part<QLabel> statusLabel(statuslabel, "Status/Results");
  Part<QLineEdit> nameField(localname);
  Part<QLineEdit> ipField(ipfield);
  Part<QLineEdit> portField(portfield, "2001");
  Part<QLineEdit> statusField(statusfield);
  Part<QLabel> product(prodlabel, Q(vexanet::product::kLabel));

  // 2. The listening port.
  portfield->setText(QString::number(port));

  // 3. Title, font and colours; components inherit them. No layout manager: every component
  // has a fixed place in the client area.
  setWindowTitle(Q(vexanet::product::kTitle));
  // The fixed layout counts the font height in pixels (13 px text in 24 px rows); a 13-point
  // font renders about 17 px high at the usual 96 dpi and no longer fits the label columns.
  QFont font(QStringLiteral("Helvetica"));
  font.setPixelSize(vexanet::product::kFontHeight);
  setFont(font);
  // The background and the black foreground reach every component that sets none of its own:
  // labels (Window), text fields (Base), selectors and the "Close" button (Button). Only
  // "Let Client Connect" keeps its own greys.
  QPalette colours = palette();
  for (QPalette::ColorRole role : {QPalette::Window, QPalette::Base, QPalette::Button}) {
    colours.setColor(role, backcol);
  }
  for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    colours.setColor(role, Qt::black);
  }
  setPalette(colours);
  setAutoFillBackground(true);

  // 4. Positions are in client-area coordinates, so there are no frame insets to read and the
  // window is shown once, complete, in step 12.

  // 5. The selectors' items.
  for (QComboBox* selector : r) {
    selector->addItem(QStringLiteral("Off"));
    selector->addItem(QStringLiteral("On"));
  }

  // 6. Product label and relay labels.
  product.AddTo(this, Bounds(kX0, kTop, 300));
  for (int n = 0; n < 8; ++n) relayLabels[n].AddTo(this, Bounds(kX0 + w * n + 5, kTop + 22, w));

  // 7. Selectors. Only the operator's choice (activated) raises the action; the program's
  // setCurrentIndex does not.
  for (int n = 0; n < 8; ++n) {
    selectors[n].AddTo(this, Bounds(kX0 + w * n, kTop + 46, w));
    connect(r[n], &QComboBox::activated, this,
            [this, n](int index) { logic_.OnSelector(n, index); });
  }

  // 8. Heading, Host/PWD.
  heading.AddTo(this, Bounds(kX0, kTop + 76, 300));
  nameLabel.AddTo(this, Bounds(kX0, kTop + 100, 70));
  localname->setReadOnly(false);
  connect(localname, &QLineEdit::returnPressed, this,
          [this] { logic_.OnEnter(localname->text().toStdString()); });
  nameField.AddTo(this, Bounds(kX0 + 125, kTop + 100, 230));

  // 9. IP address and port.
  addressLabel.AddTo(this, Bounds(kX0, kTop + 124, 70));
  ipfield->setReadOnly(true);
  ipField.AddTo(this, Bounds(kX0 + 125, kTop + 124, 230));
  portLabel.AddTo(this, Bounds(kX0, kTop + 148, 70));
  portfield->setReadOnly(true);
  portField.AddTo(this, Bounds(kX0 + 125, kTop + 148, 50));

  // 10. The two buttons; "Let Client Connect" starts disabled, dark gray.
  ApplyConnectButton(false, kDarkGrey);
  connect(bconnect, &QPushButton::clicked, this, [this] { logic_.OnConnect(); });
  connectButton.AddTo(this, Bounds(kX0 + 235, kTop + 148, 120));
  connect(bclose, &QPushButton::clicked, this, [this] { logic_.OnClose(); });
  closeButton.AddTo(this, Bounds(kX0 + 175, kTop + 148, 60));

  // 11. Status.
  statusLabel.AddTo(this, Bounds(kX0, kTop + 177, 100));
  statusfield->setReadOnly(true);
  statusField.AddTo(this, Bounds(kX0 + 100, kTop + 177, 300));

  // 12. Close request (closeEvent), size, show. Measured from its outer corner, frame included,
  // the window is GUIwidth wide and T + 209 high, T being the frame's top inset: the rows are
  // placed from T down, so the client area below the title bar keeps 209 pixels less the bottom
  // frame. Qt sizes the client area; the frame the window system adds is known once the window
  // is shown, so the client area is then fitted to it. Without a frame (Xvfb without a window
  // manager) the client area is the whole window; the offscreen platform reports a thin one.
  resize(LocalGUI::GUIwidth, kTop + 209);
  show();
  const QMargins frame(
      geometry().left() - frameGeometry().left(), geometry().top() - frameGeometry().top(),
      frameGeometry().right() - geometry().right(), frameGeometry().bottom() - geometry().bottom());
  if (!frame.isNull()) {
    resize(LocalGUI::GUIwidth - frame.left() - frame.right(), kTop + 209 - frame.bottom());
  }
}

QtWindow::~QtWindow() {
  AssertGuiThread(this, "QtWindow::~QtWindow");
}

// --- WindowView: calls from any thread -------------------------------------------------------

void QtWindow::ShowIP(const std::string& text) {
  gui_.Run(
      [this, shown = Q(text)] {
        AssertGuiThread(this, "QtWindow::ShowIP");
        ipfield->setText(shown);
      },
      {}, slot::kAddress);
}

void QtWindow::ShowStatus(const std::string& text, bool echo) {
  gui_.Run(
      [this, shown = FieldText(text)] {
        AssertGuiThread(this, "QtWindow::ShowStatus");
        statusfield->setText(shown);
      },
      // Printed when the text takes its place in the order, so the console shows the texts in
      // the order the field does, and at once.
      [&text, echo] {
        if (echo) vexanet::ConsoleLine(vexanet::gui::StatusEchoLine(text));
      },
      slot::kStatus);
}

void QtWindow::SelectRelay(int32_t relay, int32_t item) {
  if (relay < 0 || relay > 7) return;
  gui_.Run(
      [this, relay, item] {
        AssertGuiThread(this, "QtWindow::SelectRelay");
        r[static_cast<size_t>(relay)]->setCurrentIndex(item);
      },
      {}, slot::Relay(relay));
}

void QtWindow::SetConnectButton(bool enabled, int grey) {
  gui_.Run([this, enabled, grey] { ApplyConnectButton(enabled, grey); }, {}, slot::kConnectButton);
}

void QtWindow::SetLocalName(const std::string& text) {
  gui_.Run(
      [this, shown = Q(text)] {
        AssertGuiThread(this, "QtWindow::SetLocalName");
        localname->setText(shown);
      },
      {}, slot::kLocalName);
}

void QtWindow::closeEvent(QCloseEvent* event) {
  AssertGuiThread(this, "QtWindow::closeEvent");
  // The window is never closed other than by ending the process.
  event->ignore();
  logic_.RequestClose();
}

// --- GUI thread ------------------------------------------------------------------------------

void QtWindow::ApplyConnectButton(bool enabled, int grey) {
  AssertGuiThread(this, "QtWindow::SetConnectButton");
  const int level = std::clamp(grey, 0, 255);
  bconnect->setEnabled(enabled);
  auto it = connectPalettes_.find(level);
  if (it == connectPalettes_.end()) {
    QPalette colours = bconnect->palette();
    colours.setColor(QPalette::Button, QColor(level, level, level));
    it = connectPalettes_.emplace(level, colours).first;
  }
  bconnect->setPalette(it->second);
}

// --- the backend's entry points --------------------------------------------------------------

std::unique_ptr<WindowView> MakeWindowView(LocalGUI& window, int32_t port) {
  std::unique_ptr<WindowView> view;
  vexanet::gui::RunOnGuiThreadAndWait([&] { view = std::make_unique<QtWindow>(window, port); });
  return view;
}

void DestroyWindowView(std::unique_ptr<WindowView> view) {
  if (!view) return;
  vexanet::gui::RunOnGuiThreadAndWait([&] { view.reset(); });
}
