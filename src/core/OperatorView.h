#pragma once
#include <QString>

namespace tesmira {

// What the server shows an operator, as far as the domain code needs it:
// the busy display, the status panel, menu states, the secondary windows,
// the main window's placement, the beep. The windowed program's main window
// (frmMain) implements it; a server without windows (the daemon, or tesmira
// without a display) has none, and every call then does nothing: the
// headless policy. The server's status fields, log lines and prompts do not
// go through here; they exist with or without windows.
//
// Reached through Server::view(); everything on the main thread.
class OperatorView {
public:
  virtual ~OperatorView() = default;

  // ---- busy and status display ----------------------------------------------
  // Panel text and progress; step < 0 only sets the text.
  virtual void ShowBusy(const QString& text, double step) {}
  virtual void HideBusy() {}
  virtual void ResetBusyProgress() {}
  // The status panel shows one of the communication states (the status
  // fields are set by the server itself).
  virtual void ShowComState(const QString& state) {}
  // The busy pointer while the operator waits for a lengthy operation;
  // calls nest, each begin with its end.
  virtual void BeginBusyCursor() {}
  virtual void EndBusyCursor() {}
  virtual void Beep() {}

  // ---- menus --------------------------------------------------------------
  virtual void enableMenu(const QString& name, bool on) {}
  virtual void setMenuChecked(const QString& name, bool on) {}
  // The interface display hides the port field for non-serial interfaces.
  virtual void setCommPortVisible(bool visible) {}

  // ---- windows ------------------------------------------------------------
  // The load step's window part: menus, placement and splash window before
  // the services start (BeginLoad), the splash window gone after (EndLoad).
  virtual void BeginLoad() {}
  virtual void EndLoad() {}
  // Creates the secondary window of this name (one of
  // SecondaryWindowNames); false when there is none to create.
  virtual bool CreateForm(const QString& name) { return false; }
  // Unloads and releases the secondary window; false when it did not exist.
  virtual bool DestroyForm(const QString& name) { return false; }
  // Shows and raises a secondary window.
  virtual void ShowForm(const QString& name) {}
  // The main window: shown at normal size and raised, minimised, raised
  // (to put a question in front), closed (which asks the server to stop).
  virtual void ShowMain() {}
  virtual void MinimiseMain() {}
  virtual void RaiseMain() {}
  virtual void CloseMain() {}
  virtual void CreateTrayIcon() {}
  virtual void RemoveTrayIcon() {}
  // Shut-down: every other window still loaded goes (dialogs made on first
  // use, tool windows), and the main window's placement is stored.
  virtual void CloseOtherWindows() {}
  virtual void StoreWindowSettings() {}
};

}
