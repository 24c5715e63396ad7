#pragma once
// The program's only top-level window: three pages (Status, Ports, Settings) in a tab widget,
// the "Hide" button, the tray icon, the window's own menu (exit, about), the exit path,
// second-instance requests and device notices. It owns the interface manager, runs it when it
// has news or timed work, and is its observer; while the window is shown a 100 ms refresh runs
// it too, and hidden the program sleeps. User interface thread only.
#include <QDialog>
#include <QMessageBox>
#include <QString>

#include <functional>
#include <memory>

#include "app/window_rules.h"
#include "link/CInterfaceNotificatorHander.h"
#include "manager/CHVInterfaceManager.h"
#include "manager/config_store.h"
#include "platform/hid.h"
#include "ui/tray_shell.h"
#include "vsp/IVSPortAx.h"

class QComboBox;
class QMenu;
class QPushButton;
class QSocketNotifier;
class QTabWidget;
class QTimer;
class QToolButton;

namespace qx {

class CPagePorts;
class CPageSettings;
class CPageStatus;
class CTrayIcon;
class SingleInstance;

class CInterfaceManagerDlg : public QDialog, public CInterfaceNotificatorHander {
    Q_OBJECT
public:
    // The window keeps references to its services; they must outlive it. Without a tray
    // shell the desktop's notification area is used.
    CInterfaceManagerDlg(HidBackend& hid, IVSPortAxClass& portClass, ProgramSettings& program,
                         QWidget* parent = nullptr, std::unique_ptr<TrayShell> trayShell = nullptr);
    ~CInterfaceManagerDlg() override;

    // Services and settings the pages use.
    CHVInterfaceManager& Manager();
    IVSPortAxClass& PortClass();
    ProgramSettings& Program();
    WindowSettings& Settings();

    CPageStatus* StatusPage() const;
    CPagePorts* PortsPage() const;
    CPageSettings* SettingsPage() const;
    void ActivatePage(int index);  // 0 Status, 1 Ports, 2 Settings
    // Builds a page from its dialog template in the window language, with the template's
    // caption as the page's title, and lets its interface selector choose the selected
    // interface; returns that selector.
    QComboBox* BuildPage(QWidget* page, int templateId);

    // The selected interface: an index into the manager's list (-1: none).
    int Selected() const;
    void SelectInterface(int index);
    void StartPttTest(int index);
    void StartCwTest(int index);
    // Activates the Ports page, focuses and drops down the port list of the channel (0..3).
    void OpenPortChoice(int channel);
    // The Ports page's two actions (ui/CInterfaceManagerDlg_port_actions.cpp).
    void ApplyPortSelection();
    void RemoveAllPorts();

    // Observer of the manager.
    int OnPortOperation(int state, int port) override;
    void OnInterfacesChanged() override;
    void OnInterfaceChanged(int index) override;
    void OnWaitingPortsChanged() override;

    // Window states.
    void ShowMainWindow();
    void HideToTray();
    void ToggleWindow();
    void reject() override;  // the "Hide" button and Esc: to the tray, never closes

    // Commands of the window menu and the tray menu.
    void ShowAbout();
    void ExitWithConfirmation();  // asks first; on Yes removes every link and ends the loop
    // A request of a second start: 1 show, 2 hide, 3 exit (no confirmation); others ignored.
    void HandleInstanceRequest(int code);
    // Handles the requests that later starts send to this instance; the exit path stops the
    // listening, so later starts wait for this run to end.
    void WatchInstanceRequests(SingleInstance& instance);
    // A notice of the program to the user: a balloon of the tray icon, or a desktop
    // notification without a tray, else a message box.
    // While the window ends, the balloons of the ports let go would replace it and the icon
    // goes with the window: an exit from the window shows it in a message box once every
    // setting is written; an exit asked from outside leaves it where it was also written
    // (standard error, the journal) rather than hold up its end.
    void ShowNotice(const std::string& text);

    // One round of the window's periodic work: the manager's Tick, the first round's choice
    // between shown and in the tray, the selected interface's channel list. Run 100 ms after
    // start, by the refresh while shown, on the manager's news and at its timed work (public so
    // tests can drive it by hand).
    void OnTimerTick();
    WindowState State() const { return state_; }

    // Message boxes go through this hook so tests can answer them; it returns the button.
    std::function<int(const QString& text, QMessageBox::Icon, QMessageBox::StandardButtons)>
        messageBox;

signals:
    // Emitted once the exit path or an exit request has removed every link.
    void exitRequested();

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void BuildLayout();
    void AddPageKeys();
    QMenu* BuildWindowMenu();
    void WatchDeviceNotices();
    void WatchManagerNews();
    void FollowVisibility();
    void Dispatch(WindowEvent event);
    void OnTrayCommand(int command);
    void RefreshPages();
    void End(bool fromWindow);
    void AwaitCreatedPort(int port);
    void AnnounceCreatedPorts();
    std::string LivePortPath(int port) const;

    ProgramSettings& program_;
    IVSPortAxClass& portClass_;
    WindowSettings settings_;
    int m_firstTick = 1;
    CHVInterfaceManager m_manager;
    std::unique_ptr<CTrayIcon> m_trayIcon;
    int m_selected = 0;
    int creatingPort_ = 0;           // the port whose "Creating" balloon is up, until it ends
    std::vector<int> createdPorts_;  // creations ended, announced once provisioning returns
    WindowState state_ = WindowState::kStarting;
    std::string endingNotices_;  // notices that came while ending

    QTabWidget* tabs_ = nullptr;
    QPushButton* hideButton_ = nullptr;
    QToolButton* menuButton_ = nullptr;
    CPageStatus* statusPage_ = nullptr;
    CPagePorts* portsPage_ = nullptr;
    CPageSettings* settingsPage_ = nullptr;
    QTimer* refreshTimer_ = nullptr;  // 100 ms, while the window is shown (and for the first round)
    QTimer* dueTimer_ = nullptr;      // one-shot, at the manager's next timed work
    std::unique_ptr<QSocketNotifier> noticeWatch_;
    std::unique_ptr<QSocketNotifier> newsWatch_;
    std::unique_ptr<QSocketNotifier> requestWatch_;
    SingleInstance* instance_ = nullptr;
};

}  // namespace qx
