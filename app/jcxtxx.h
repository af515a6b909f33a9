#pragma once

#include "archive/connection.h"
#include "archive/zuzhi.h"
#include "form.h"
#include "help/help.h"
#include "prompts.h"
#include "scan/record.h"
#include "scan/tree.h"
#include "state.h"
#include "wmi/connector.h"

#include <QPixmap>
#include <QPointer>
#include <QString>

#include <memory>

namespace qelto {

// The inventory window: the inputs of a scan, the start button, the tree, the output buttons and
// the help button. It owns the connected service, the host string, the scan record and the tree
// of the last scan.
//
// What the report and the archive take (the tree, the record, the host that the report names and
// the answers behind the record) is always that of the last scan that succeeded: an attempt whose
// connection fails changes none of it.
//
// A connection and a scan run on a worker thread; meanwhile the window takes no input but keeps
// painting, and the handler of the start button returns only when both are over, so that what
// the user sees happens in the same order as if they ran on this thread.
class JCXTXX : public JCXTXXForm {
    Q_OBJECT
  public:
    // Start-up runs here: the local connection and the local computer name.
    JCXTXX(std::shared_ptr<wmi::Connector> connector, std::shared_ptr<Prompts> prompts,
           QWidget* parent = nullptr);
    ~JCXTXX() override;

    // What the last successful scan produced, for the report and the archive.
    const scan::InventoryTree& inventory() const { return tree_; }
    const scan::ScanRecord& record() const { return record_; }
    // "." until the first press of 开始检测, then the host as it was taken at the last press.
    QString host() const { return host_; }
    // True once a scan has succeeded: there is something to export and to save.
    bool hasScan() const { return tree_.count() > 0; }

    // The service of the last successful connection (start-up's local one before), or nullptr.
    const wmi::Service* service() const { return service_.get(); }
    // True while a connection or a scan runs.
    bool busy() const { return busy_; }
    state* progressWindow() const { return state_; }
    help* helpWindow() const { return help_; }             // nullptr while it is not open
    archive::zuzhi* saveWindow() const { return zuzhi_; }  // nullptr until first opened

    // The archive that 保存到ACCESS数据库 saves into (an ADO-style connection string).
    void setArchive(const QString& connstr) { archive_ = connstr; }

  public Q_SLOTS:
    void Check1_Click();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Form_Load();
    // Asks whether to quit; true cancels the closing.
    bool Form_QueryUnload();
    // Shows the tree of the last scan: every node, the expanded ones open, the root selected and
    // the view at the top.
    void showInventory();
    // The host box's tooltip: its whole text.
    void showHostText();

    std::shared_ptr<wmi::Connector> connector_;
    std::shared_ptr<Prompts> prompts_;
    std::unique_ptr<wmi::Service> service_;
    // The answers behind record_ (owned by service_), which a save keeps as the full scan; null
    // while the record holds no scan.
    const wmi::InstanceStore* scanAnswers_ = nullptr;
    QString host_;
    QString scannedHost_;  // the host of the last successful scan, which the report names
    scan::ScanRecord record_;
    scan::InventoryTree tree_;
    state* state_;
    QPointer<help> help_;
    QPointer<archive::zuzhi> zuzhi_;
    QString archive_ = archive::kDefaultConnectionString;
    bool busy_ = false;
};

// Pictures of the two frames of the main window in their state at start-up, as the help dialog
// shows them: the host frame (220 × 67 pixels) and the authentication frame (220 × 160 pixels).
QPixmap hostFramePicture();
QPixmap loginFramePicture();

}  // namespace qelto
