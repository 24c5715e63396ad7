#include "ui/CInterfaceManagerDlg.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QSocketNotifier>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindowStateChangeEvent>

#include <algorithm>
#include <chrono>

#include "app/instance_queries.h"
#include "app/string_ids.h"
#include "app/strings.h"
#include "platform/single_instance.h"
#include "ui/CAboutDlg.h"
#include "ui/CPagePorts.h"
#include "ui/CPageSettings.h"
#include "ui/CPageStatus.h"
#include "ui/CTrayIcon.h"
#include "ui/accessibility.h"
#include "ui/control_ids.h"
#include "ui/dialog_template.h"
#include "ui/program_icon.h"
#include "ui/qt_tray_shell.h"

namespace qx {

namespace {

constexpr int kRefreshPeriodMs = 100;
constexpr unsigned kTrayIconId = 130;

QString Text(int id) { return QString::fromStdString(LoadLocalizedString(id)); }

}  // namespace

CInterfaceManagerDlg::CInterfaceManagerDlg(HidBackend& hid, IVSPortAxClass& portClass,
                                           ProgramSettings& program, QWidget* parent,
                                           std::unique_ptr<TrayShell> trayShell)
    : QDialog(parent),
      program_(program),
      portClass_(portClass),
      m_manager(hid, portClass, program.Load()) {
    settings_.Load();
    if (!trayShell) trayShell = std::make_unique<QtTrayShell>();
    m_trayIcon = std::make_unique<CTrayIcon>(kTrayIconId, std::move(trayShell));

    messageBox = [this](const QString& text, QMessageBox::Icon icon,
                        QMessageBox::StandardButtons buttons) {
        QMessageBox box(icon, windowTitle(), text, buttons, this);
        return box.exec();
    };

    setWindowTitle(Text(kStrTitle));
    setWindowIcon(ProgramIcon());
    NameComboBoxesByTheirLabel();
    BuildLayout();

    m_trayIcon->AttachWindow([this](int command) { OnTrayCommand(command); });
    m_trayIcon->LoadTrayIcon(kTrayIconId);

    refreshTimer_ = new QTimer(this);
    connect(refreshTimer_, &QTimer::timeout, this, &CInterfaceManagerDlg::OnTimerTick);
    dueTimer_ = new QTimer(this);
    dueTimer_->setSingleShot(true);
    connect(dueTimer_, &QTimer::timeout, this, &CInterfaceManagerDlg::OnTimerTick);

    m_manager.observer = this;
    WatchDeviceNotices();
    WatchManagerNews();
    // The window stays hidden until the first round decides between shown and in the tray.
    refreshTimer_->start(kRefreshPeriodMs);
}

CInterfaceManagerDlg::~CInterfaceManagerDlg() {
    // Links left at this point (the window went without the exit path) are removed with the
    // manager; the window must no longer hear of them.
    m_manager.observer = nullptr;
    for (const auto& link : m_manager.list) link->observer = nullptr;
}

void CInterfaceManagerDlg::BuildLayout() {
    statusPage_ = new CPageStatus(this);
    portsPage_ = new CPagePorts(this);
    settingsPage_ = new CPageSettings(this);
    tabs_ = new QTabWidget(this);
    for (QWidget* page : {static_cast<QWidget*>(statusPage_), static_cast<QWidget*>(portsPage_),
                          static_cast<QWidget*>(settingsPage_)})
        tabs_->addTab(page, page->windowTitle());
    tabs_->setCurrentIndex(0);

    menuButton_ = new QToolButton(this);
    menuButton_->setObjectName(QStringLiteral("windowMenu"));
    menuButton_->setIcon(ProgramIcon());
    // Only the icon shows; the text gives the button its name and its key.
    menuButton_->setText(Text(kStrProgramMenu));
    menuButton_->setToolTip(SpokenText(menuButton_->text()));
    menuButton_->setAccessibleName(menuButton_->toolTip());
    menuButton_->setPopupMode(QToolButton::InstantPopup);
    menuButton_->setMenu(BuildWindowMenu());

    hideButton_ = new QPushButton(Text(kStrHide), this);
    hideButton_->setAccessibleName(SpokenText(hideButton_->text()));
    SetControlId(hideButton_, 2);
    hideButton_->setAutoDefault(false);
    connect(hideButton_, &QPushButton::clicked, this, &CInterfaceManagerDlg::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(menuButton_);
    buttons->addStretch();
    buttons->addWidget(hideButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addLayout(buttons);
    AddPageKeys();
    // Pages built before the tab widget existed skipped the selectors; fill them now.
    OnInterfacesChanged();
}

// Ctrl+Tab and Ctrl+PageDown show the next page, Ctrl+Shift+Tab and Ctrl+PageUp the one before,
// wherever the focus is (a combo box would take Ctrl+Tab as a letter to search for). The focus
// goes to the page tabs, which say which page is up.
void CInterfaceManagerDlg::AddPageKeys() {
    const auto addKeys = [this](QList<QKeySequence> keys, int step) {
        auto* shortcut = new QShortcut(this);
        shortcut->setKeys(keys);
        connect(shortcut, &QShortcut::activated, this, [this, step] {
            ActivatePage((tabs_->currentIndex() + step + tabs_->count()) % tabs_->count());
            tabs_->tabBar()->setFocus(Qt::ShortcutFocusReason);
        });
    };
    addKeys(QKeySequence::keyBindings(QKeySequence::NextChild)
                << QKeySequence(Qt::CTRL | Qt::Key_PageDown),
            1);
    addKeys(QKeySequence::keyBindings(QKeySequence::PreviousChild)
                << QKeySequence(Qt::CTRL | Qt::Key_PageUp),
            -1);
}

// Desktop window managers do not let a program extend the title bar's menu, so the window
// offers the same commands itself: from the button beside "Hide" and as its context menu.
QMenu* CInterfaceManagerDlg::BuildWindowMenu() {
    auto* menu = new QMenu(this);
    menu->addAction(Text(kStrMinimizeToTray), this, [this] { Dispatch(WindowEvent::kSysClose); });
    menu->addAction(Text(kStrExit), this, &CInterfaceManagerDlg::ExitWithConfirmation);
    menu->addAction(Text(kStrAbout), this, &CInterfaceManagerDlg::ShowAbout);
    return menu;
}

void CInterfaceManagerDlg::WatchDeviceNotices() {
    m_manager.RegisterNotifications();
    const int fd = m_manager.NoticeFd();
    if (fd < 0) return;  // no notices: only the start-up scan finds devices
    noticeWatch_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(noticeWatch_.get(), &QSocketNotifier::activated, this, [this] {
        m_manager.HandleDeviceNotices();
        OnTimerTick();  // the changed list reaches the pages now
    });
}

void CInterfaceManagerDlg::WatchManagerNews() {
    newsWatch_ = std::make_unique<QSocketNotifier>(m_manager.NewsFd(), QSocketNotifier::Read);
    connect(newsWatch_.get(), &QSocketNotifier::activated, this,
            &CInterfaceManagerDlg::OnTimerTick);
}

// The refresh runs while someone can look at the pages; otherwise only what happens wakes the
// program.
void CInterfaceManagerDlg::FollowVisibility() {
    if (state_ == WindowState::kShown && !refreshTimer_->isActive())
        refreshTimer_->start(kRefreshPeriodMs);
    else if (state_ != WindowState::kShown && state_ != WindowState::kStarting)
        refreshTimer_->stop();
}

void CInterfaceManagerDlg::WatchInstanceRequests(SingleInstance& instance) {
    instance_ = &instance;
    requestWatch_ = std::make_unique<QSocketNotifier>(instance.Fd(), QSocketNotifier::Read);
    connect(requestWatch_.get(), &QSocketNotifier::activated, this, [this, &instance] {
        instance.ServeRequests(
            [this](int code) { HandleInstanceRequest(code); },
            [this](const std::string& query) {
                return EncodeAnswer(AnswerQuery(query, m_manager, portClass_, program_));
            });
    });
}

void CInterfaceManagerDlg::ShowNotice(const std::string& text) {
    if (state_ == WindowState::kEnding) {
        endingNotices_ += (endingNotices_.empty() ? "" : "\n\n") + text;
        return;
    }
    if (!m_trayIcon->ShowBalloon(LoadLocalizedString(kStrProgramName), text))
        messageBox(QString::fromStdString(text), QMessageBox::Warning, QMessageBox::Ok);
}

CHVInterfaceManager& CInterfaceManagerDlg::Manager() { return m_manager; }
IVSPortAxClass& CInterfaceManagerDlg::PortClass() { return portClass_; }
ProgramSettings& CInterfaceManagerDlg::Program() { return program_; }
WindowSettings& CInterfaceManagerDlg::Settings() { return settings_; }
CPageStatus* CInterfaceManagerDlg::StatusPage() const { return statusPage_; }
CPagePorts* CInterfaceManagerDlg::PortsPage() const { return portsPage_; }
CPageSettings* CInterfaceManagerDlg::SettingsPage() const { return settingsPage_; }
int CInterfaceManagerDlg::Selected() const { return m_selected; }

void CInterfaceManagerDlg::ActivatePage(int index) {
    if (tabs_ != nullptr && index >= 0 && index < tabs_->count()) tabs_->setCurrentIndex(index);
}

QComboBox* CInterfaceManagerDlg::BuildPage(QWidget* page, int templateId) {
    const DialogTemplate* dialog = FindDialogTemplate(templateId);
    BuildDialog(page, *dialog, WindowLanguage());
    page->setWindowTitle(TemplateText(dialog->captionId, WindowLanguage()));
    auto* selector = FindControl<QComboBox>(page, kInterfaceSelectorId);
    connect(selector, &QComboBox::activated, this, [this](int index) { SelectInterface(index); });
    return selector;
}

void CInterfaceManagerDlg::SelectInterface(int index) {
    m_selected = ClampSelection(index, m_manager.Count());
    if (const CHVInterface* link = m_manager.Link(m_selected)) {
        settings_.selectedInterface.value = StoredSelectionText(link->product, link->key);
    }
    OnInterfacesChanged();
}

void CInterfaceManagerDlg::StartPttTest(int index) {
    if (CHVInterface* link = m_manager.Link(index)) link->StartPttTest();
}

void CInterfaceManagerDlg::StartCwTest(int index) {
    if (CHVInterface* link = m_manager.Link(index)) link->StartCwTest();
}

void CInterfaceManagerDlg::OpenPortChoice(int channel) {
    if (portsPage_ == nullptr || channel < 0 || channel >= kChannelCount) return;
    ActivatePage(1);
    if (auto* list = FindControl<QComboBox>(portsPage_, kPortListIds[channel])) {
        list->setFocus();
        list->showPopup();
    }
}

int CInterfaceManagerDlg::OnPortOperation(int state, int port) {
    const bool creationEnded = state == kPortOperationDone && creatingPort_ == port;
    creatingPort_ = state == kPortOperationCreating ? port : 0;
    if (creationEnded) {
        AwaitCreatedPort(port);
        return 0;
    }
    m_trayIcon->ShowBalloon(
        "", PortOperationBalloonText(state, port, program_.removePortsOnDeviceRemoval.value));
    return 0;
}

void CInterfaceManagerDlg::OnInterfacesChanged() {
    if (tabs_ == nullptr) return;  // still being built; BuildLayout fills the selectors
    std::vector<QString> entries;
    std::vector<std::string> storedForms;
    for (const auto& link : m_manager.list) {
        entries.push_back(QString::fromStdString(
            SelectorEntryText(link->manufacturer, link->product, link->key, link->VersionText())));
        storedForms.push_back(StoredSelectionText(link->product, link->key));
    }
    m_selected = SelectionAfterRebuild(m_selected, storedForms, settings_.selectedInterface.value);

    for (QWidget* page : {static_cast<QWidget*>(statusPage_), static_cast<QWidget*>(portsPage_),
                          static_cast<QWidget*>(settingsPage_)}) {
        auto* selector = FindControl<QComboBox>(page, kInterfaceSelectorId);
        if (selector == nullptr) continue;
        // Filling the list must not read as the user choosing an entry.
        const QSignalBlocker blocker(selector);
        selector->clear();
        if (entries.empty()) {
            selector->addItem(Text(kStrNoInterface));
            selector->setEnabled(false);
        } else {
            for (const QString& entry : entries) selector->addItem(entry);
            selector->setEnabled(true);
        }
        selector->setCurrentIndex(m_selected < 0 ? 0 : m_selected);
    }
    RefreshPages();
}

void CInterfaceManagerDlg::OnInterfaceChanged(int index) {
    if (index >= 0 && index < m_manager.Count() && index == m_selected) RefreshPages();
}

// Ports that wait for their interface are shown on the Status page, whatever its selection.
void CInterfaceManagerDlg::OnWaitingPortsChanged() {
    if (tabs_ != nullptr) statusPage_->Refresh();
}

void CInterfaceManagerDlg::RefreshPages() {
    statusPage_->Refresh();
    portsPage_->Refresh();
    settingsPage_->Refresh();
}

void CInterfaceManagerDlg::OnTimerTick() {
    if (state_ == WindowState::kEnding) return;
    const CHVInterfaceManager::Clock::time_point due = m_manager.Tick();
    if (m_firstTick) {
        m_firstTick = 0;
        Dispatch(WindowEvent::kFirstTick);
    }
    if (CHVInterface* link = m_manager.Link(m_selected);
        link != nullptr && link->channelListReceived.exchange(0)) {
        OnInterfacesChanged();
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(due - CHVInterfaceManager::Clock::now());
    dueTimer_->start(static_cast<int>(std::max<long long>(left.count(), 0)));
}

void CInterfaceManagerDlg::Dispatch(WindowEvent event) {
    const WindowTransition next = ApplyWindowEvent(state_, settings_.hideInTray.value, event);
    state_ = next.state;
    settings_.hideInTray.value = next.hideInTray;
    switch (next.operation) {
    case WindowOperation::kNone: break;
    case WindowOperation::kShowMainWindow: ShowMainWindow(); break;
    case WindowOperation::kHideToTray: HideToTray(); break;
    case WindowOperation::kConfirmExit: {
        const int answer = messageBox(Text(kStrExitQuestion), QMessageBox::Warning,
                                      QMessageBox::Yes | QMessageBox::No);
        Dispatch(answer == QMessageBox::Yes ? WindowEvent::kExitConfirmed
                                            : WindowEvent::kExitDeclined);
        break;
    }
    case WindowOperation::kHideAndEnd: End(true); break;
    case WindowOperation::kEnd: End(false); break;
    }
    FollowVisibility();
}

void CInterfaceManagerDlg::ShowMainWindow() {
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
    m_trayIcon->ShowBalloon("", "");
}

// The balloon points at the icon, so it comes only with one.
void CInterfaceManagerDlg::HideToTray() {
    if (m_trayIcon->Shown()) {
        hide();
        m_trayIcon->ShowBalloon(LoadLocalizedString(kStrProgramName),
                                LoadLocalizedString(kStrBalloonHidden));
    } else {
        // Without our icon a hidden window could never be brought back: minimize instead.
        showMinimized();
    }
}

void CInterfaceManagerDlg::ToggleWindow() { Dispatch(WindowEvent::kToggle); }

void CInterfaceManagerDlg::ShowAbout() {
    CAboutDlg about(portClass_, this);
    about.exec();
}

void CInterfaceManagerDlg::ExitWithConfirmation() { Dispatch(WindowEvent::kExitRequested); }

void CInterfaceManagerDlg::HandleInstanceRequest(int code) {
    if (const std::optional<WindowEvent> event = RequestEvent(code)) Dispatch(*event);
}

void CInterfaceManagerDlg::OnTrayCommand(int command) {
    if (command == kCommandShowHide) Dispatch(WindowEvent::kToggle);
    if (command == kCommandExit) Dispatch(WindowEvent::kExitRequested);
}

// fromWindow: the user chose Exit in the window or the tray menu, and is there to read a box.
void CInterfaceManagerDlg::End(bool fromWindow) {
    if (fromWindow) hide();
    refreshTimer_->stop();
    dueTimer_->stop();
    noticeWatch_.reset();
    newsWatch_.reset();
    // End may run inside the request watch's own signal: delete it once that has returned, or
    // with the window.
    if (QSocketNotifier* watch = requestWatch_.release()) {
        watch->setEnabled(false);
        watch->setParent(this);
        watch->deleteLater();
    }
    m_manager.UnregisterNotifications();
    m_manager.RemoveAll();
    if (fromWindow) {  // what failed while saving is told before the end
        settings_.Save();
        if (!endingNotices_.empty())
            messageBox(QString::fromStdString(endingNotices_), QMessageBox::Warning,
                       QMessageBox::Ok);
    }
    // Only now: a start that came meanwhile was still shown the window or hid it.
    if (instance_ != nullptr) instance_->StopListening();
    emit exitRequested();
}

void CInterfaceManagerDlg::closeEvent(QCloseEvent* event) {
    event->ignore();  // the window ends only through the exit path
    Dispatch(WindowEvent::kSysClose);
}

void CInterfaceManagerDlg::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange) return;
    const auto oldState = static_cast<QWindowStateChangeEvent*>(event)->oldState();
    const bool wasMinimized = (oldState & Qt::WindowMinimized) != 0;
    if (isMinimized() && !wasMinimized && state_ == WindowState::kShown) {
        Dispatch(WindowEvent::kSysMinimize);
    } else if (!isMinimized() && wasMinimized && state_ == WindowState::kInTray) {
        // Restored from the task bar (no tray): the window is shown again.
        Dispatch(WindowEvent::kToggle);
    }
}

void CInterfaceManagerDlg::reject() { Dispatch(WindowEvent::kHideButton); }

// Wrapped texts need more lines when they grow or the window narrows, which a window's minimum
// size does not follow by itself: the window keeps the height its layout needs at its width,
// and at least the height the shown page's texts need at the page's actual width (the layout's
// figure for the page within the tabs can be a few pixels short).
bool CInterfaceManagerDlg::event(QEvent* event) {
    const bool handled = QDialog::event(event);
    const QEvent::Type type = event->type();
    if ((type == QEvent::LayoutRequest || type == QEvent::Resize) && tabs_ != nullptr &&
        layout()->hasHeightForWidth()) {
        const QWidget* page = tabs_->currentWidget();
        setMinimumHeight(std::max(layout()->totalHeightForWidth(width()),
                                  height() - page->height() + page->heightForWidth(page->width())));
    }
    return handled;
}

void CInterfaceManagerDlg::contextMenuEvent(QContextMenuEvent* event) {
    menuButton_->menu()->exec(event->globalPos());
}

}  // namespace qx
