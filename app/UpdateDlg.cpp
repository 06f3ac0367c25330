#include "app/UpdateDlg.h"

#include "app/Announcements.h"
#include "app/workflow/StringTable.h"
#include "res/ResourceIds.h"
#include "widgets/DesignSize.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QStatusBar>
#include <QStringDecoder>
#include <QTextDocument>
#include <QThread>

// A direct control call from a worker, waiting for the window thread.
struct CUpdateDlg::PendingCall {
    std::function<void()> work;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;

    void Finish()
    {
        {
            std::lock_guard lock(mutex);
            done = true;
        }
        finished.notify_all();
    }
};

namespace {

const QEvent::Type kCallEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kWorkerEndedEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Carries a call to the window thread. However the event ends (handled,
// or dropped with its receiver), the caller stops waiting.
template <typename Call>
class CCallEvent : public QEvent {
public:
    explicit CCallEvent(std::shared_ptr<Call> call) : QEvent(kCallEvent), m_call(std::move(call)) {}
    ~CCallEvent() override { m_call->Finish(); }
    Call& GetCall() const { return *m_call; }

private:
    std::shared_ptr<Call> m_call;
};

QString Q(int id)
{
    return ToQString(Text(id));
}

// The window is a frame to assistive technology: screen readers look for
// the status bar only in windows of that role.
QAccessibleInterface* FrameFactory(const QString& key, QObject* object)
{
    if (key == QLatin1String("CUpdateDlg") && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    return nullptr;
}

// A tooltip shows rich text when it looks like markup; a path or a device
// name from a file is shown as it is.
QString PlainToolTip(const QString& text)
{
    return text.isEmpty() ? text : Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}

bool IsEnterOrEscape(const QEvent* event)
{
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease && event->type() != QEvent::ShortcutOverride)
        return false;
    const int key = static_cast<const QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape;
}

}  // namespace

QString ToQString(const std::string& text)
{
    const std::string_view shown(text.data(), std::min(text.size(), text.find('\0')));
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString result = utf8(QByteArrayView(shown.data(), static_cast<qsizetype>(shown.size())));
    if (!utf8.hasError())
        return result;
    return QString::fromLatin1(shown.data(), static_cast<qsizetype>(shown.size()));
}

QString CUpdateDlg::Caption()
{
    return QStringLiteral("Corvane Firmware Update");
}

QString CUpdateDlg::MessageCaption()
{
    return QStringLiteral("cvf-update");
}

CUpdateDlg::CUpdateDlg(QWidget* parent)
    : CBackdropDialog(parent),
      m_progress(this),
      m_btnYes(this),
      m_btnNo(this),
      m_btnMain(this),
      m_lblInfo1(this),
      m_lblInfo2(this),
      m_lblInfo3(this),
      m_lblStatus1(this),
      m_lblStatus2(this),
      m_lblStatus3(this),
      m_lblStatus4(this)
{
    using namespace DialogLayout;

    for (const int size : {16, 32, 48, 256})
        m_hIcon.addFile(QStringLiteral(":/icon/%1/%2").arg(IDI_MAIN).arg(size));

    // Template 102: caption, system menu, fixed frame, no minimise or
    // maximise box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(Caption());
    setAccessibleName(Caption());
    static const bool frameRole = [] {
        QAccessible::installFactory(FrameFactory);
        return true;
    }();
    (void)frameRole;
    // An interface made while this was still being built as a plain dialog
    // is dropped: the next one asked for is the frame.
    if (QAccessibleInterface* early = QAccessible::queryAccessibleInterface(this)) {
        if (early->role() != QAccessible::Window)
            QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(early));
    }
    // Fixed, or on Wayland the smallest size it goes back to (DesignSize.h).
    KeepDesignSize(this, QSize(kClientWidth, kClientHeight));
    // The template's 8-point face, or one of its width where it is missing
    // (as for the labels): the general font is wider, and the device pane's
    // 90 pixels would cut a name such as "Demo Controller".
    QFont dialogFont = font();
    dialogFont.setFamilies({CColorLabel::ResolveFace(QStringLiteral("MS Sans Serif"))});
    dialogFont.setPixelSize(11);
    setFont(dialogFont);

    // Controls at their template places, in template (tab) order.
    m_btnMain.setGeometry(Rect(115, 234, 63, 19));
    m_lblStatus1.setGeometry(Rect(2, 179, 289, 15));
    m_progress.setGeometry(Rect(45, 233, 203, 20));
    m_lblStatus2.setGeometry(Rect(2, 191, 289, 15));
    m_lblStatus3.setGeometry(Rect(2, 203, 289, 15));
    m_lblStatus4.setGeometry(Rect(2, 219, 289, 15));
    m_lblInfo1.setGeometry(Rect(2, 90, 289, 15));
    m_lblInfo2.setGeometry(Rect(2, 102, 289, 15));
    m_lblInfo3.setGeometry(Rect(2, 114, 289, 15));
    m_btnNo.setGeometry(Rect(155, 234, 63, 19));
    m_btnYes.setGeometry(Rect(75, 234, 63, 19));
    m_btnNo.hide();
    m_btnYes.hide();

    m_btnMain.setObjectName(QStringLiteral("mainButton"));
    m_btnYes.setObjectName(QStringLiteral("yesButton"));
    m_btnNo.setObjectName(QStringLiteral("noButton"));
    m_progress.setObjectName(QStringLiteral("progress"));
    const struct {
        CColorLabel* label;
        const char* name;
    } labels[] = {{&m_lblInfo1, "info1"},     {&m_lblInfo2, "info2"},     {&m_lblInfo3, "info3"},
                  {&m_lblStatus1, "status1"}, {&m_lblStatus2, "status2"}, {&m_lblStatus3, "status3"},
                  {&m_lblStatus4, "status4"}};
    for (const auto& entry : labels) {
        entry.label->setObjectName(QString::fromLatin1(entry.name));
        entry.label->setAlignment(Qt::AlignCenter);
    }
    m_progress.setFrameStyle(QFrame::Box | QFrame::Plain);

    for (CShapedButton* button : {&m_btnMain, &m_btnNo, &m_btnYes})
        button->setFocusPolicy(Qt::StrongFocus);
    setTabOrder(&m_btnMain, &m_btnNo);
    setTabOrder(&m_btnNo, &m_btnYes);

    connect(&m_btnMain, &QAbstractButton::clicked, this, [this] { m_workflow.OnMainButton(); });
    connect(&m_btnYes, &QAbstractButton::clicked, this, [this] { m_workflow.OnYes(); });
    connect(&m_btnNo, &QAbstractButton::clicked, this, [this] { m_workflow.OnNo(); });
    // The gate opens one second after the click, not up to 5 % later as a
    // coarse timer may: the device search holds its full bar for a second,
    // so "Yes" and "No" never appear while the gate is still shut.
    m_clickTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_clickTimer, &QTimer::timeout, this, [this] { m_workflow.OnTimer(CLICK_TIMER_ID); });

    // Enter and Esc neither press a button nor close the window, wherever
    // the focus is.
    for (QWidget* child : {static_cast<QWidget*>(&m_btnMain), static_cast<QWidget*>(&m_btnYes),
                           static_cast<QWidget*>(&m_btnNo)})
        child->installEventFilter(this);

    OnInitDialog();
}

CUpdateDlg::~CUpdateDlg()
{
    // A worker still running is told to end and must not wait for a window
    // that will not answer any more.
    CloseChannel();
    m_workflow.RequestStop();
    m_workflow.FinishWorker();
}

void CUpdateDlg::OnInitDialog()
{
    using namespace DialogLayout;

    m_announcements = new CAnnouncements(
        this, [this] { return QStringList{m_lblInfo1.text(), m_lblInfo2.text(), m_lblInfo3.text()}; },
        [this] { return QStringList{m_lblStatus1.text(), m_lblStatus2.text(), m_lblStatus3.text(), m_lblStatus4.text()}; });

    // Status bar with the file, device and port panes along the bottom.
    m_statusBar = new QStatusBar(this);
    m_statusBar->setSizeGripEnabled(false);
    m_statusBar->setObjectName(QStringLiteral("statusBar"));
    m_paneFile = new QLabel(Q(ID_PANE_FILE), m_statusBar);
    m_paneDevice = new QLabel(Q(ID_PANE_DEVICE), m_statusBar);
    m_panePort = new QLabel(Q(ID_PANE_PORT), m_statusBar);
    m_paneFile->setObjectName(QStringLiteral("paneFile"));
    m_paneDevice->setObjectName(QStringLiteral("paneDevice"));
    m_panePort->setObjectName(QStringLiteral("panePort"));
    for (QLabel* pane : {m_paneFile, m_paneDevice, m_panePort}) {
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pane->setTextFormat(Qt::PlainText);
        pane->setMinimumWidth(0);
    }
    // A long path or device name is cut at the pane's edge; the whole text is
    // its tooltip.
    m_paneFile->setFixedWidth(kClientWidth - STATUS_PANE_FILE_MARGIN);
    m_paneDevice->setFixedWidth(STATUS_PANE_DEVICE_WIDTH);
    m_statusBar->addWidget(m_paneFile, 0);
    m_statusBar->addWidget(m_paneDevice, 0);
    m_statusBar->addWidget(m_panePort, 1);
    const int barHeight = m_statusBar->sizeHint().height();
    m_statusBar->setGeometry(0, kClientHeight - barHeight, kClientWidth, barHeight);

    setWindowIcon(m_hIcon);
    SetBackdropBitmap(IDB_BACKDROP, Stretch);

    const struct {
        CShapedButton* button;
        int text;
        bool visible;
    } buttons[] = {{&m_btnMain, IDS_START, true}, {&m_btnYes, IDS_YES, false}, {&m_btnNo, IDS_NO, false}};
    for (const auto& entry : buttons) {
        entry.button->SetBitmaps(IDB_BUTTON, IDB_BUTTON_PRESSED, IDB_BUTTON_HOVER, 0, IDB_BUTTON_HOVER, IDB_BUTTON_MASK,
                                 DrawAsIs, 0, 0);
        entry.button->SetWindowText(Q(entry.text));
        entry.button->setVisible(entry.visible);
    }

    for (CColorLabel* label : {&m_lblInfo1, &m_lblInfo2, &m_lblInfo3}) {
        label->SetLabelFont(9, false, false, QStringLiteral("Tahoma"));
        label->SetTransparent(true);
    }
    m_lblInfo1.SetLabelText(Q(IDS_TITLE));
    m_lblInfo2.SetLabelText(QString());
    m_lblInfo3.SetLabelText(QString());
    for (CColorLabel* label : {&m_lblStatus1, &m_lblStatus2, &m_lblStatus3, &m_lblStatus4}) {
        label->SetLabelFont(9, true, false, QStringLiteral("Tahoma"));
        label->SetTransparent(true);
    }
    m_workflow.SetStatusLines(LINES_EMPTY);

    m_progress.SetRange(0, 100);
    m_progress.setAccessibleName(Q(IDS_PROGRESS_NAME));
    m_progress.hide();

    // What the window shows at first is what a reader reads of it anyway.
    m_announcements->PresentButton(&m_btnMain);

    m_workflow.m_bClickReady = 1;
}

QLabel* CUpdateDlg::Pane(int id) const
{
    switch (id) {
    case ID_PANE_FILE:
        return m_paneFile;
    case ID_PANE_DEVICE:
        return m_paneDevice;
    case ID_PANE_PORT:
        return m_panePort;
    default:
        return nullptr;
    }
}

CColorLabel* CUpdateDlg::StatusLabel(int line) const
{
    CColorLabel* const labels[] = {const_cast<CColorLabel*>(&m_lblStatus1), const_cast<CColorLabel*>(&m_lblStatus2),
                                   const_cast<CColorLabel*>(&m_lblStatus3), const_cast<CColorLabel*>(&m_lblStatus4)};
    return line >= 1 && line <= 4 ? labels[line - 1] : nullptr;
}

CColorLabel* CUpdateDlg::InfoLabel(int line) const
{
    CColorLabel* const labels[] = {const_cast<CColorLabel*>(&m_lblInfo1), const_cast<CColorLabel*>(&m_lblInfo2),
                                   const_cast<CColorLabel*>(&m_lblInfo3)};
    return line >= 1 && line <= 3 ? labels[line - 1] : nullptr;
}

// ---------------------------------------------------------------------------
// Messages from the workflow

void CUpdateDlg::PostTextMessage(int message, std::string text)
{
    QCoreApplication::postEvent(this, new CWorkflowEvent(message, ToQString(text)));
}

void CUpdateDlg::PostValueMessage(int message, int value)
{
    QCoreApplication::postEvent(this, new CWorkflowEvent(message, QString(), value));
}

bool CUpdateDlg::event(QEvent* event)
{
    const int type = static_cast<int>(event->type());
    if (type >= UWM_PANE_FILE && type <= UWM_INFO3) {
        OnWorkflowMessage(*static_cast<CWorkflowEvent*>(event));
        return true;
    }
    if (event->type() == kCallEvent) {
        PendingCall& call = static_cast<CCallEvent<PendingCall>*>(event)->GetCall();
        bool closed;
        {
            std::lock_guard lock(m_callMutex);
            closed = m_bChannelClosed;
        }
        if (!closed)
            call.work();
        call.Finish();
        return true;
    }
    if (event->type() == kWorkerEndedEvent) {
        m_workflow.OnWorkerEnded();
        return true;
    }
    return CBackdropDialog::event(event);
}

void CUpdateDlg::RunInWindow(const std::function<void()>& work)
{
    if (QThread::currentThread() == thread()) {
        work();
        return;
    }
    auto call = std::make_shared<PendingCall>();
    call->work = work;
    {
        std::lock_guard lock(m_callMutex);
        if (m_bChannelClosed)
            return;
        std::erase_if(m_pendingCalls, [](const std::weak_ptr<PendingCall>& p) { return p.expired(); });
        m_pendingCalls.push_back(call);
    }
    QCoreApplication::postEvent(this, new CCallEvent<PendingCall>(call));
    std::unique_lock lock(call->mutex);
    call->finished.wait(lock, [&call] { return call->done; });
}

void CUpdateDlg::CloseChannel()
{
    std::vector<std::shared_ptr<PendingCall>> waiting;
    {
        std::lock_guard lock(m_callMutex);
        m_bChannelClosed = true;
        for (const auto& pending : m_pendingCalls) {
            if (auto call = pending.lock())
                waiting.push_back(std::move(call));
        }
        m_pendingCalls.clear();
    }
    for (const auto& call : waiting)
        call->Finish();
}

void CUpdateDlg::WorkerEnded()
{
    QCoreApplication::postEvent(this, new QEvent(kWorkerEndedEvent));
}

void CUpdateDlg::OnWorkflowMessage(const CWorkflowEvent& message)
{
    const QString& text = message.Text();
    switch (static_cast<int>(message.type())) {
    case UWM_PANE_FILE:
        m_paneFile->setText(text);
        m_paneFile->setToolTip(PlainToolTip(text));
        break;
    case UWM_PANE_DEVICE:
        m_paneDevice->setText(text);
        m_paneDevice->setToolTip(PlainToolTip(text));
        break;
    case UWM_PANE_PORT:
        m_panePort->setText(text);
        break;
    case UWM_OPEN_PORT:
    case UWM_CLOSE_PORT:
        // Never posted. The port belongs to the worker that opened it;
        // the window thread taking g_portLock here would wait on it.
        break;
    case UWM_SHOW_BUTTON:
        m_btnMain.setVisible(true);
        m_btnMain.SetWindowText(text);
        m_announcements->PresentButton(&m_btnMain);
        break;
    case UWM_HIDE_BUTTON:
        m_btnMain.setVisible(false);
        break;
    case UWM_SHOW_PROGRESS:
        m_progress.setVisible(true);
        break;
    case UWM_HIDE_PROGRESS:
        m_progress.setVisible(false);
        break;
    case UWM_SET_PROGRESS:
        m_progress.SetPos(message.Value());
        break;
    case UWM_STATUS1:
    case UWM_STATUS2:
    case UWM_STATUS3:
    case UWM_STATUS4:
        StatusLabel(static_cast<int>(message.type()) - UWM_STATUS1 + 1)->SetLabelText(text);
        m_announcements->TextsChanged();
        break;
    case UWM_START_TIMER:
        // The click gate's timer: its first event opens the gate again.
        m_nMsgTimer = CLICK_TIMER_ID;
        m_workflow.m_nClickTimer = CLICK_TIMER_ID;
        m_clickTimer.start(message.Value());
        break;
    case UWM_STOP_TIMER:
        KillClickTimer(m_nMsgTimer);
        break;
    case UWM_INFO1:
    case UWM_INFO2:
    case UWM_INFO3:
        InfoLabel(static_cast<int>(message.type()) - UWM_INFO1 + 1)->SetLabelText(text);
        m_announcements->TextsChanged();
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// Direct control operations: on this thread, the caller waits

QWidget* CUpdateDlg::ControlWidget(Control control)
{
    switch (control) {
    case Control::MainButton:
        return &m_btnMain;
    case Control::YesButton:
        return &m_btnYes;
    case Control::NoButton:
        return &m_btnNo;
    case Control::Progress:
        return &m_progress;
    }
    return nullptr;
}

void CUpdateDlg::ShowControl(Control control, bool show)
{
    QWidget* widget = ControlWidget(control);
    RunInWindow([this, control, widget, show] {
        if (!show)
            m_announcements->MoveFocusFrom(widget);
        widget->setVisible(show);
        if (control == Control::Progress)
            m_announcements->SetCountingDown(show && m_workflow.Step() == StepFinished);
        // "Yes" is the answer the question expects; the main button is
        // presented with its caption (SetMainButtonText).
        if (show && control == Control::YesButton)
            m_announcements->PresentButton(&m_btnYes);
    });
}

void CUpdateDlg::SetMainButtonText(const std::string& text)
{
    const QString caption = ToQString(text);
    RunInWindow([this, caption] {
        m_btnMain.SetWindowText(caption);
        if (m_btnMain.isVisible())
            m_announcements->PresentButton(&m_btnMain);
    });
}

void CUpdateDlg::SetProgressPos(int pos)
{
    RunInWindow([this, pos] {
        m_progress.SetPos(pos);
        // A bar shown for new work takes the focus with its first position.
        if (m_progress.isVisible())
            m_announcements->PresentProgress(&m_progress);
    });
}

void CUpdateDlg::SetProgressStep(int step)
{
    RunInWindow([this, step] { m_progress.SetStep(step); });
}

void CUpdateDlg::StepProgress()
{
    RunInWindow([this] { m_progress.StepIt(); });
}

void CUpdateDlg::SetStatusLine(int line, const std::string& text)
{
    CColorLabel* label = StatusLabel(line);
    if (!label)
        return;
    const QString shown = ToQString(text);
    RunInWindow([this, label, shown] {
        label->SetLabelText(shown);
        m_announcements->TextsChanged();
    });
}

void CUpdateDlg::SetStatusLineColor(int line, uint32_t rgb)
{
    CColorLabel* label = StatusLabel(line);
    if (!label)
        return;
    RunInWindow([label, rgb] {
        label->SetLabelTextColor(QColor(static_cast<int>((rgb >> 16) & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                                        static_cast<int>(rgb & 0xFF)));
    });
}

void CUpdateDlg::ShowMessage(const std::string& text, MessageIcon icon)
{
    const QString message = ToQString(text);
    RunInWindow([this, message, icon] {
        CMessageBox box(icon == MessageIcon::Exclamation ? QMessageBox::Warning : QMessageBox::Information,
                        MessageCaption(), message, QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    });
}

bool CUpdateDlg::ChooseFile(std::string& path)
{
    // One filter, shown by its description alone. Linux names are
    // case-sensitive, and so is a native (GTK) chooser's matching: every
    // spelling of the extension is a pattern of its own.
    QFileDialog dialog(this, QString(), QDir::currentPath());
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setNameFilter(QStringLiteral("Corvane Firmware File (*.CVF *.cvf *.Cvf *.CVf *.CvF *.cVF *.cVf *.cvF)"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    const bool chosen = dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty();
    // The file dialog may leave this window inactive to Qt (a name typed
    // and Return pressed while its completion list is open): then no focus
    // change would reach a screen reader again.
    activateWindow();
    QApplication::setActiveWindow(this);
    if (!chosen)
        return false;
    path = dialog.selectedFiles().constFirst().toStdString();
    return true;
}

unsigned CUpdateDlg::StartClickTimer()
{
    m_clickTimer.start(static_cast<int>(CLICK_GATE_MS));
    return CLICK_TIMER_ID;
}

void CUpdateDlg::KillClickTimer(unsigned id)
{
    if (id == CLICK_TIMER_ID)
        m_clickTimer.stop();
}

void CUpdateDlg::CloseWindow()
{
    close();
}

void CUpdateDlg::BeginWaitCursor()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

void CUpdateDlg::EndWaitCursor()
{
    QApplication::restoreOverrideCursor();
}

void CUpdateDlg::OnEndSignal(int signalNumber)
{
    if (m_nEndSignal != 0)
        return;  // already winding down; a second signal does not cut it short
    m_nEndSignal = signalNumber;
    // A file dialog or message box open over the window would hold the end
    // back until somebody answers it.
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(widget);
        if (dialog && dialog != this && dialog->isVisible())
            dialog->reject();
    }
    // After those dialogs' own loops have returned.
    QMetaObject::invokeMethod(this, [this] { m_workflow.OnEndRequest(); }, Qt::QueuedConnection);
}

void CUpdateDlg::WindDownAtExit()
{
    CloseChannel();
    m_workflow.WindDown();
}

// ---------------------------------------------------------------------------
// Keys and closing

bool CUpdateDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (IsEnterOrEscape(event)) {
        event->accept();
        return true;
    }
    return CBackdropDialog::eventFilter(watched, event);
}

void CUpdateDlg::keyPressEvent(QKeyEvent* event)
{
    if (IsEnterOrEscape(event)) {
        event->accept();
        return;
    }
    CBackdropDialog::keyPressEvent(event);
}

void CUpdateDlg::reject()
{
    // Every way of closing goes through OnClose.
    close();
}

void CUpdateDlg::closeEvent(QCloseEvent* event)
{
    if (!m_workflow.OnClose()) {
        event->ignore();
        return;
    }
    event->accept();
    QDialog::done(QDialog::Rejected);
}
