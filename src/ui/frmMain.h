#pragma once
#include "core/OperatorView.h"

#include <QHash>
#include <QMainWindow>
#include <QPointer>

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QSystemTrayIcon;

namespace tesmira {

class ConsolePane;
class Server;
class frmWorning;

// The operator's main window: banner, status fields (which double as the
// server topic's items), the console pane, the status bar with its two
// panels, and the menus. It also carries the status and busy display
// (SetComStatus, ShowBusy, HideBusy), the tray icon and the Esc cancel
// request. It is the server's view (OperatorView) while it exists.
class frmMain : public QMainWindow, public OperatorView {
  Q_OBJECT
public:
  explicit frmMain(Server& server, QWidget* parent = nullptr);
  ~frmMain() override;

  // The main window of a server; null when it has none.
  static frmMain* of(const Server& s);

  // Start-up state: the load step's error and whether it failed.
  QString sError;
  bool bCancel = false;

  // Runs the load step (tesmira::Form_Load); Main then calls Start when
  // bCancel is false.
  void Form_Load();

  // ---- status and busy display ------------------------------------------
  // Sets the status (Server::SetComStatus); a communication state also goes
  // to the status bar's second panel.
  void SetComStatus(const QString& text);
  void ShowBusy(const QString& text, double step) override;
  void HideBusy() override;
  int busyProgress() const { return m_progress; }
  // Starts the progress over (the poll cycle wrapped) without hiding anything.
  void ResetBusyProgress() override;
  void ShowComState(const QString& state) override;
  void BeginBusyCursor() override;
  void EndBusyCursor() override;
  void Beep() override;
  QString panel1() const;
  QString panel2() const;
  // The tray icon's current resource (101..103) and tooltip; kept even when
  // the platform has no tray, so the state can be inspected.
  int trayResource() const { return m_trayResource; }
  QString trayToolTip() const { return m_trayToolTip; }
  void createTrayIcon();
  void removeTrayIcon();
  void CreateTrayIcon() override { createTrayIcon(); }
  void RemoveTrayIcon() override { removeTrayIcon(); }
  bool trayIconCreated() const { return m_trayCreated; }
  // The busy window CreateForms made; null before.
  frmWorning* busyWindow() const;

  // The interface display hides the port field for non-serial interfaces.
  void setCommPortVisible(bool visible) override;

  // ---- menus --------------------------------------------------------------
  // Actions by their names (mnuOpenLog, mnuClose, ...).
  QAction* menu(const QString& name) const { return m_actions.value(name); }
  const QHash<QString, QAction*>& menus() const { return m_actions; }
  void enableMenu(const QString& name, bool on) override;
  void setMenuChecked(const QString& name, bool on) override;
  // Connects a menu item to its handler.
  void setMenuHandler(const QString& name, std::function<void()> handler);

  QPlainTextEdit* txtTerm() const;
  QLabel* field(const QString& name) const { return m_fieldLabels.value(name.toLower()); }

  // Shows the trend window (made on first use) with the channel's measure
  // and setpoint; channel 0 takes the channel picked in the module list,
  // else keeps what the window plots, else the first channel with a measure.
  void ShowTrend(int16_t channel);

  // Secondary windows, created by CreateForms in the order of
  // SecondaryWindowNames, and windows made on first use.
  QHash<QString, QPointer<QWidget>> forms;

  // ---- the view's windows -------------------------------------------------
  void BeginLoad() override;
  void EndLoad() override;
  bool CreateForm(const QString& name) override;
  bool DestroyForm(const QString& name) override;
  void ShowForm(const QString& name) override;
  void ShowMain() override;
  void MinimiseMain() override;
  void RaiseMain() override;
  void CloseMain() override;
  void CloseOtherWindows() override;
  void StoreWindowSettings() override;

  // Set while the load step runs (tests use it to see the splash window).
  QPointer<QWidget> splash;

signals:
  // Emitted when the operator closes the window (or File/Exit): the
  // application runs the ordered shut-down.
  void closeRequested();

protected:
  void closeEvent(QCloseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void buildMenus();
  void buildBody();
  QAction* addItem(QMenu* menu, const QString& name, const QString& caption);
  void showField(const QString& name, const QString& text);
  // Shows a secondary window, after SetComStatus(status) when one is given.
  void showForm(const QString& name, const QString& status);
  void mnuResetErrors_Click();
  // The logger's six menu items follow its options and log file.
  void bindLogMenus();
  void showLogOptions();
  void mnuAbout_Click();

  Server& m_server;
  QHash<QString, QAction*> m_actions;
  QHash<QString, QLabel*> m_fieldLabels; // lower-case field name -> label
  ConsolePane* m_txtTerm = nullptr;
  QLabel* m_imgTop = nullptr;
  QLabel* m_panel1 = nullptr;
  QLabel* m_panel2 = nullptr;
  QLabel* m_commPortCaption = nullptr;
  QSystemTrayIcon* m_tray = nullptr;
  bool m_trayCreated = false;
  int m_trayResource = 101;
  QString m_trayToolTip;
  int m_trayFrame = 0;
  int m_progress = 0;
  bool m_closing = false;
};

}
