// QtWindow: the operator's window drawn with Qt Widgets (the backend for desktops with a display,
// and for offscreen runs). The window's logic is LocalGUI's; this class only builds the fixed
// layout, shows what LocalGUI hands it and passes the operator's actions back.
//
// Threads: the widgets live on the GUI thread. Every WindowView operation may be called from any
// thread: it runs at once on the GUI thread and is queued to it from elsewhere (GuiQueue), so
// calls take effect in the order they were made; a call still waiting for the same field or
// selector is replaced by the newer one, so what waits stays bounded. Widget code asserts it
// runs on the GUI thread.
// Only Qt's `activated` signal of a selector, which the program never triggers, raises the
// operator's action.
#pragma once

#include <QColor>
#include <QPalette>
#include <QWidget>
#include <array>
#include <cstdint>
#include <map>

#include "gui/LocalGUI.h"
#include "gui/WindowView.h"
#include "gui/qt/GuiQueue.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class QtWindow : public QWidget, public WindowView {
 public:
  // The window's background, inherited by every component that sets no colour of its own.
  static inline const QColor backcol{LocalGUI::backcol.red, LocalGUI::backcol.green,
                                     LocalGUI::backcol.blue};

  // GUI thread only; MakeWindowView builds it there from any thread.
  QtWindow(LocalGUI& logic, int32_t port);
  ~QtWindow() override;

  // --- WindowView ---------------------------------------------------------------------------
  void ShowIP(const std::string& text) override;
  void ShowStatus(const std::string& text, bool echo) override;
  void SelectRelay(int32_t relay, int32_t item) override;
  void SetConnectButton(bool enabled, int grey) override;
  void SetLocalName(const std::string& text) override;
  bool OnViewThread() const override { return gui_.OnViewThread(); }
  void Drain() override { gui_.Drain(); }
  void Wait() override { gui_.Wait(); }

  // --- widgets (GUI thread only) ----------------------------------------------------------
  QLabel* prodlabel = nullptr;
  std::array<QLabel*, 8> LabelR{};
  std::array<QComboBox*, 8> r{};
  QPushButton* bconnect = nullptr;
  QPushButton* bclose = nullptr;
  QLabel* netlabel = nullptr;
  QLabel* namelabel = nullptr;
  QLabel* addresslabel = nullptr;
  QLabel* portlabel = nullptr;
  QLabel* statuslabel = nullptr;
  QLineEdit* localname = nullptr;
  QLineEdit* ipfield = nullptr;
  QLineEdit* portfield = nullptr;
  QLineEdit* statusfield = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void ApplyConnectButton(bool enabled, int grey);

  LocalGUI& logic_;
  vexanet::gui::GuiQueue gui_;
  // One palette per grey level, made once: a palette made anew at every change has a new cache
  // key, and the style would cache a new button image for each session for good.
  std::map<int, QPalette> connectPalettes_;
};
