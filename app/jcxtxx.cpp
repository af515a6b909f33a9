#include "jcxtxx.h"
#include "archive/archive.h"
#include "report/report.h"

#include "common/charset.h"

#include "help/help.h"
#include "resources/icons.h"
#include "scan/host.h"
#include "state.h"
#include "twips.h"
#include "wmi/error.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QGroupBox>
#include <QHash>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTreeWidget>
#include <QtConcurrent/QtConcurrentRun>

#include <optional>
#include <vector>

namespace qelto {

namespace {

// Leading and trailing blanks (U+0020) removed; other white space is kept as typed.
QString trimBlanks(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == u' ') ++begin;
    while (end > begin && text[end - 1] == u' ') --end;
    return text.mid(begin, end - begin);
}

bool isUserInput(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
        case QEvent::Drop:
            return true;
        default:
            return false;
    }
}

}  // namespace

JCXTXX::JCXTXX(std::shared_ptr<wmi::Connector> connector, std::shared_ptr<Prompts> prompts,
               QWidget* parent)
    : JCXTXXForm(parent), connector_(std::move(connector)), prompts_(std::move(prompts)) {
    state_ = new state(this);
    connect(Check1, &QCheckBox::toggled, this, &JCXTXX::Check1_Click);
    connect(Command1, &QPushButton::clicked, this, &JCXTXX::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &JCXTXX::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &JCXTXX::Command3_Click);
    connect(Command4, &QPushButton::clicked, this, &JCXTXX::Command4_Click);
    // The host box is narrower than a long host such as ssh://user@host:port: its tooltip holds
    // the whole text, and without the focus it shows the beginning, where the scheme is.
    connect(Text1, &QLineEdit::textChanged, this, &JCXTXX::showHostText);
    Text1->installEventFilter(this);
    showHostText();
    Text1->setCursorPosition(0);
    centreOnScreen(this);
    Form_Load();
}

JCXTXX::~JCXTXX() = default;

void JCXTXX::Form_Load() {
    host_ = QStringLiteral(".");
    // No connection is made here: connecting to this machine gathers all of it, which would keep
    // the window from opening for as long as that takes, and nothing uses it before the first
    // press of 开始检测 replaces it.
    Text2->setEnabled(false);
    Text3->setEnabled(false);
    // The computer that records the scans is this one, also when the connections answer from a
    // recorded snapshot: its name as the system gives it, up to the first dot, as the local
    // source names it and as qelto-cli stores it.
    record_.sendmail = wmi::Variant(archive::recordingComputer());
}

void JCXTXX::Check1_Click() {
    const bool giveCredentials = !Check1->isChecked();
    Text2->setEnabled(giveCredentials);
    Text3->setEnabled(giveCredentials);
}

void JCXTXX::Command1_Click() {
    if (busy_) return;
    centreOnScreen(state_);
    state_->show();
    state_->raise();
    // The scan starts from a record with its 16 scanned fields emptied. The window's own record
    // stays as it is until the scan has succeeded, so that a failed attempt leaves the last
    // scan to be exported and saved.
    scan::ScanRecord start = record_;
    start.clearForScan();

    wmi::ConnectRequest request;
    request.host = host_ = trimBlanks(Text1->text());
    if (Check1->isChecked()) {
        request.road = wmi::Road::CurrentLogin;
    } else {
        request.road = wmi::Road::Credentials;
        request.user = Text2->text();
        // The scan's copy is the only one: the box's characters are overwritten where they are.
        request.password = Text3->text();
        Text3->setText(QString());  // also forgets the box's undo history
    }

    // Certificates of an organisation's own authority, for HTTPS hosts (also qelto-cli's).
    request.caFile = qEnvironmentVariable("QELTO_CA_FILE");
    // A host key that no known-hosts file knows is shown to the user, who decides; the worker
    // waits for the answer. A key that the user declined is named in the refusal, which then
    // says so.
    auto declined = std::make_shared<std::optional<wmi::HostKeyQuestion>>();
    request.confirmNewHostKey = [this, declined](const wmi::HostKeyQuestion& question) {
        bool trust = false;
        QMetaObject::invokeMethod(
            this, [&] { trust = prompts_->trustHostKey(this, question); },
            Qt::BlockingQueuedConnection);
        if (!trust) *declined = question;
        return trust;
    };

    // The connection and the scan run on a worker; until they are over the window drops every
    // key press and mouse click but goes on painting.
    busy_ = true;
    qApp->installEventFilter(this);
    QFutureWatcher<std::shared_ptr<scan::HostScan>> watcher;
    QEventLoop loop;
    connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(QtConcurrent::run(
        [connector = connector_, request, record = std::move(start), locale = locale()] {
            return std::make_shared<scan::HostScan>(
                scan::scanHost(*connector, request, record, locale));
        }));
    if (!watcher.isFinished()) loop.exec();
    const std::shared_ptr<scan::HostScan> out = watcher.result();
    qApp->removeEventFilter(this);
    busy_ = false;

    if (out->error) {
        prompts_->inform(this, out->error->number() == wmi::code::HostKeyUnknown && *declined
                                   ? hostKeyDeclinedText(**declined)
                                   : scan::connectionFailureText(*out->error, host_));
        state_->hide();
    } else {
        service_ = std::move(out->service);
        scanAnswers_ = service_ ? service_->answers() : nullptr;
        tree_ = std::move(out->tree);
        record_ = std::move(out->record);
        scannedHost_ = host_;
        showInventory();
        // A tree cut off at its limit says so in one line below it.
        for (const scan::Problem& p : out->problems)
            if (p.kind == scan::Problem::Kind::TreeFull)
                new QTreeWidgetItem(TreeView1, QStringList(common::displayLine(p.description)));
        state_->hide();
    }
    Command2->setEnabled(true);
    Command4->setEnabled(true);
}

void JCXTXX::Command2_Click() {
    // The report goes to the user's home directory, named after the scanned computer; the message
    // tells where it went, that there was nothing to export, or why it could not be written.
    prompts_->inform(this, report::exportReport(tree_, record_, scannedHost_).message());
}

void JCXTXX::Command4_Click() {
    // Nothing has been scanned yet: the same answer as the export's.
    if (!hasScan()) {
        prompts_->inform(this, report::noDataText());
        return;
    }
    if (!zuzhi_) {
        archive::Messages messages = archive::standardMessages();
        messages.inform = [prompts = prompts_](QWidget* parent, const QString& text) {
            prompts->inform(parent, text);
        };
        messages.ask = [prompts = prompts_](QWidget* parent, const QString& text) {
            return prompts->ask(parent, text);
        };
        zuzhi_ = new archive::zuzhi(record_, archive_, std::move(messages), this);
        zuzhi_->setAnswers([this] { return scanAnswers_; });
    }
    zuzhi_->present();  // a second press only brings the open dialog to the front
}

void JCXTXX::Command3_Click() {
    if (!help_) {
        help_ = new help(hostFramePicture(), loginFramePicture(), this);
        help_->setAttribute(Qt::WA_DeleteOnClose);
    }
    help_->show();
    help_->raise();
    help_->activateWindow();
}

void JCXTXX::showInventory() {
    TreeView1->clear();
    QHash<QString, QIcon> icons;
    std::vector<QTreeWidgetItem*> items;
    items.reserve(static_cast<std::size_t>(tree_.count()));
    for (int i = 0; i < tree_.count(); ++i) {
        const scan::Node& node = tree_.node(i);
        auto found = icons.find(node.image);
        if (found == icons.end()) found = icons.insert(node.image, treeIcon(node.image));
        auto* item = node.parent < 0
                         ? new QTreeWidgetItem(TreeView1)
                         : new QTreeWidgetItem(items[static_cast<std::size_t>(node.parent)]);
        item->setText(0, common::displayLine(node.text));
        item->setIcon(0, *found);
        items.push_back(item);
    }
    for (int i = 0; i < tree_.count(); ++i)
        if (tree_.node(i).expanded) items[static_cast<std::size_t>(i)]->setExpanded(true);
    if (tree_.selected() >= 0)
        TreeView1->setCurrentItem(items[static_cast<std::size_t>(tree_.selected())]);
    TreeView1->scrollToTop();
}

bool JCXTXX::Form_QueryUnload() {
    return !prompts_->confirmQuit(this);
}

void JCXTXX::closeEvent(QCloseEvent* event) {
    // A scan cannot be interrupted; the window takes no input until it is over.
    if (busy_ || Form_QueryUnload()) {
        event->ignore();
        return;
    }
    event->accept();
    // The help dialog, the save dialog and any other window of the program go with it.
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window != this && window->isVisible()) window->close();
}

void JCXTXX::showHostText() {
    const QString text = Text1->text();
    Text1->setToolTip(text.isEmpty() ? kHostHint : text);
}

bool JCXTXX::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Text1 && event->type() == QEvent::FocusOut &&
        static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason)
        Text1->setCursorPosition(0);
    // A question asked during the scan (an unknown host key) takes its answer.
    if (busy_ && isUserInput(event->type()) && !QApplication::activeModalWidget()) return true;
    return JCXTXXForm::eventFilter(watched, event);
}

QPixmap hostFramePicture() {
    JCXTXXForm form;
    form.Text2->setEnabled(false);
    form.Text3->setEnabled(false);
    const QRect frame = form.Frame2->geometry();
    return form.grab(QRect(frame.x() - (220 - frame.width()) / 2,
                           frame.y() - (67 - frame.height()) / 2, 220, 67));
}

QPixmap loginFramePicture() {
    JCXTXXForm form;
    form.Text2->setEnabled(false);
    form.Text3->setEnabled(false);
    const QRect frame = form.Frame1->geometry();
    return form.grab(QRect(frame.x() - (220 - frame.width()) / 2,
                           frame.y() - (160 - frame.height()) / 2, 220, 160));
}

}  // namespace qelto
