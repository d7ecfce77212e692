// The settings page, the Master ID dialog and the IP filter page against a real host.

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>

#include <fstream>

#include "change_master_id_dlg.h"
#include "config_setting_view.h"
#include "ip_address_edit.h"
#include "ip_filter_view.h"
#include "peerfeed/peerfeed.h"
#include "platform/local_address.h"
#include "ui_test_support.h"
#include "wharfkeep/host/host_test_access.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/ui/ui_ids.h"

using namespace wharfkeep;
using namespace wharfkeep::ui;
using namespace wharfkeep::ui::testing;

namespace {

template <typename Widget = QWidget>
Widget* Control(QWidget* page, int id) {
    auto* widget = page->findChild<Widget*>(ObjectId(id));
    if (widget == nullptr) {
        qFatal("no control %d", id);
    }
    return widget;
}

void Click(QWidget* page, int id) {
    QTest::mouseClick(Control<QAbstractButton>(page, id), Qt::LeftButton);
}

void Type(QWidget* page, int id, const QString& text) {
    Control<QLineEdit>(page, id)->setText(text);
}

QString Text(QWidget* page, int id) {
    return Control<QLineEdit>(page, id)->text();
}

std::uint32_t Ip(const char* text) {
    return *host::ParseIpv4(text);
}

}  // namespace

class SettingsTest : public QObject {
    Q_OBJECT
private slots:
    void typedNumbersReadLikeTheDecimalConversion();
    void uploadLimitRoundTripsInKilobits();
    void connectionLimitAndPorts();
    void accessSettingsAreStoredAsShown();
    void masterIdDialogRules();
    void masterIdChangeIgnoresCase();
    void focusFieldCodes();
    void ipFilterAddsOrderedRanges();
    void ipFilterTypeSwitchOnlyTowardsTheOtherList();
    void ipFilterCheckboxTakesEffectAtOnce();
    void ipFilterDeleteTakesTheFirstSelectedLine();
    void ipFilterTakesTypedRangesAndBlockLists();

private:
    static CPWTConfigSettingView* Settings(Shell& shell) {
        return static_cast<CPWTConfigSettingView*>(shell.Page(PageSlot::ConfigSetting));
    }
    static CPWTIPFilterView* Filter(Shell& shell) {
        return static_cast<CPWTIPFilterView*>(shell.Page(PageSlot::IpFilter));
    }
};

void SettingsTest::typedNumbersReadLikeTheDecimalConversion() {
    QCOMPARE(TypedNumber("100"), 100u);
    QCOMPARE(TypedNumber("  12abc"), 12u);
    QCOMPARE(TypedNumber("+7"), 7u);
    QCOMPARE(TypedNumber("abc"), 0u);
    QCOMPARE(TypedNumber(""), 0u);
    QCOMPARE(TypedNumber("-5"), 0u);
    QCOMPARE(TypedNumber("99999999999999999999"), 0xFFFFFFFFu);
    QCOMPARE(KilobitsToBytesPerSecond(100), 12800u);
    QCOMPARE(KilobitsToBytesPerSecond(1), 128u);
    // Beyond 32 bits the limit is held at the largest value instead of wrapping to a small one.
    QCOMPARE(KilobitsToBytesPerSecond(40000000), 0xFFFFFFFFu);
    QCOMPARE(BytesPerSecondToKilobits(200), 1u);
    QCOMPARE(BytesPerSecondToKilobits(0xFFFFFFFFull), 33554431u);
}

void SettingsTest::uploadLimitRoundTripsInKilobits() {
    TestFolder folder;
    folder.PrepareDatabase();
    Shell shell;
    CPWTConfigSettingView* page = Settings(shell);
    page->OnPageShown();
    Type(page, ids::kEditSpeedLimit, "100");
    Type(page, ids::kEditConnectionLimit, "50");
    Click(page, ids::kButtonSaveLimits);
    QCOMPARE(shell.host->Settings().Setting(host::kVpUploadSpeedLimit), 12800u);
    QCOMPARE(vp_get_speed_limit(), 12800u);
    Type(page, ids::kEditSpeedLimit, "7");
    Click(page, ids::kButtonRestoreLimits);
    QCOMPARE(Text(page, ids::kEditSpeedLimit), QString("100"));

    // What is shown is the value in force, rounded down to whole kilobits.
    shell.host->Settings().SetUploadSpeedLimit(200);
    page->OnPageShown();
    QCOMPARE(Text(page, ids::kEditSpeedLimit), QString("1"));
    Type(page, ids::kEditSpeedLimit, "1");
    Click(page, ids::kButtonSaveLimits);
    QCOMPARE(shell.host->Settings().Setting(host::kVpUploadSpeedLimit), 128u);
    Type(page, ids::kEditSpeedLimit, "无限");
    Click(page, ids::kButtonSaveLimits);
    QCOMPARE(shell.host->Settings().Setting(host::kVpUploadSpeedLimit), 0u);
}

void SettingsTest::connectionLimitAndPorts() {
    TestFolder folder;
    folder.PrepareDatabase();
    Shell shell;
    CPWTConfigSettingView* page = Settings(shell);
    page->OnPageShown();
    QCOMPARE(Text(page, ids::kEditConnectionLimit), QString("200"));
    Type(page, ids::kEditConnectionLimit, "35");
    Click(page, ids::kButtonSaveLimits);
    QCOMPARE(shell.host->Settings().Setting(host::kVpConnLimit), 35u);
    QCOMPARE(vp_get_connection_limit(), 35u);

    QCOMPARE(Text(page, ids::kEditTransferPort), QString("8189"));
    Type(page, ids::kEditTransferPort, "9001");
    Type(page, ids::kEditProtocolPort, "9002x");
    Click(page, ids::kButtonSavePorts);
    QCOMPARE(shell.host->Settings().Setting(host::kVpPort), 9001u);
    QCOMPARE(shell.host->Settings().Setting(host::kStsPort), 9002u);
    QCOMPARE(Text(page, ids::kEditProtocolPort), QString("9002x"));  // not reloaded

    Click(page, ids::kButtonDefaultPorts);
    QCOMPARE(shell.host->Settings().Setting(host::kVpPort), 8189u);
    QCOMPARE(shell.host->Settings().Setting(host::kStsPort), 8190u);
    QCOMPARE(Text(page, ids::kEditProtocolPort), QString("8190"));
}

void SettingsTest::accessSettingsAreStoredAsShown() {
    TestFolder folder;
    folder.PrepareDatabase(
        [](ResourceDatabase& db) { db.UpdateMasterAccess(0, "300.1.2", "old.example.org"); });
    Shell shell;
    CPWTConfigSettingView* page = Settings(shell);
    page->OnPageShown();
    auto* ip = Control<CIPAddressEdit>(page, ids::kEditAccessIp);
    QCOMPARE(ip->Text(), QString("44.1.2.0"));  // parts modulo 256, missing parts 0
    QVERIFY(Control<QRadioButton>(page, ids::kRadioAccessByIp)->isChecked());
    QCOMPARE(Text(page, ids::kEditAccessDomain), QString("old.example.org"));

    Click(page, ids::kRadioAccessByDomain);
    Type(page, ids::kEditAccessDomain, "video.example.org");
    ip->SetText("192.168.7.9");
    Click(page, ids::kButtonSaveAccess);
    QCOMPARE(shell.host->Settings().Access().access_way, 1);
    QCOMPARE(shell.host->Settings().Access().access_ip, std::string("192.168.7.9"));
    QCOMPARE(shell.host->Settings().Access().access_domain, std::string("video.example.org"));

    // "本机IP" fills in the local address and picks access by IP, storing nothing.
    Click(page, ids::kButtonLocalIp);
    QCOMPARE(ip->Text().toStdString(), platform::local_address_text());
    QVERIFY(Control<QRadioButton>(page, ids::kRadioAccessByIp)->isChecked());
    QVERIFY(!Control<QRadioButton>(page, ids::kRadioAccessByDomain)->isChecked());
    QCOMPARE(shell.host->Settings().Access().access_way, 1);

    // Showing the page again shows what is stored.
    page->OnPageShown();
    QVERIFY(Control<QRadioButton>(page, ids::kRadioAccessByDomain)->isChecked());
    QCOMPARE(ip->Text(), QString("192.168.7.9"));
}

void SettingsTest::masterIdDialogRules() {
    const QString current = "0123456789ABCDEF01";
    {
        CPWTChangeMasterIDDlg opened(current);
        QCOMPARE(Control<QLineEdit>(&opened, ids::kEditCurrentId)->text(), current);
        QVERIFY(Control<QLineEdit>(&opened, ids::kEditCurrentId)->isReadOnly());
        QVERIFY(!opened.ErrorShown());
    }
    auto attempt = [&current](const QString& typed) {
        CPWTChangeMasterIDDlg dialog(current);
        Control<QLineEdit>(&dialog, ids::kEditNewId)->setText(typed);
        dialog.accept();
        return std::make_pair(dialog.result() == QDialog::Accepted, dialog.NewId());
    };
    QCOMPARE(attempt("0123456789abcdef0G").first, false);   // one character not hexadecimal
    QCOMPARE(attempt("0123456789abcdef0").first, false);    // 17 digits
    QCOMPARE(attempt("0123456789abcdef012").first, false);  // 19 digits
    QCOMPARE(attempt("").first, false);
    auto accepted = attempt("  fedcba9876543210ab \t");
    QVERIFY(accepted.first);
    QCOMPARE(accepted.second, QString("fedcba9876543210ab"));

    CPWTChangeMasterIDDlg dialog(current);
    Control<QLineEdit>(&dialog, ids::kEditNewId)->setText("nope");
    dialog.accept();
    QVERIFY(dialog.ErrorShown());
    auto* error = Control<QLabel>(&dialog, ids::kLabelIdError);
    QCOMPARE(error->text(), QString("新ID格式有误，请重新输入。"));
    QVERIFY(error->styleSheet().contains("255, 0, 0"));
}

void SettingsTest::masterIdChangeIgnoresCase() {
    TestFolder folder;
    folder.PrepareDatabase(
        [](ResourceDatabase& db) { db.SetParam("Master_ID", "ABCDEF012345678901"); });
    Shell shell;
    CPWTConfigSettingView* page = Settings(shell);
    page->OnPageShown();
    QCOMPARE(Text(page, ids::kEditMasterId), QString("ABCDEF012345678901"));
    page->ApplyNewMasterId("ABCDEF012345678901", "abcdef012345678901");
    QCOMPARE(shell.host->Settings().MasterId(), std::string("ABCDEF012345678901"));

    // Through the dialog, as the operator does it.
    QTimer::singleShot(0, [] {
        auto* dialog = qobject_cast<CPWTChangeMasterIDDlg*>(QApplication::activeModalWidget());
        QVERIFY(dialog != nullptr);
        Control<QLineEdit>(dialog, ids::kEditNewId)->setText("111111111111111111");
        dialog->accept();
    });
    Click(page, ids::kButtonChangeMasterId);
    QCOMPARE(shell.host->Settings().MasterId(), std::string("111111111111111111"));
    QCOMPARE(Text(page, ids::kEditMasterId), QString("111111111111111111"));
}

void SettingsTest::focusFieldCodes() {
    TestFolder folder;
    folder.PrepareDatabase();
    Shell shell;
    QVERIFY(shell.ShowActive());
    shell.frame->Container().ShowPage(PageSlot::ConfigSetting);
    CPWTConfigSettingView* page = Settings(shell);
    page->FocusField(host::kFieldTransferPort);
    QVERIFY(Control<QLineEdit>(page, ids::kEditTransferPort)->hasFocus());
    QCOMPARE(Control<QLineEdit>(page, ids::kEditTransferPort)->selectedText(), QString("8189"));
    page->FocusField(host::kFieldAccessIp);
    QVERIFY(Control<CIPAddressEdit>(page, ids::kEditAccessIp)->Field(0)->hasFocus());
    page->FocusField(9);  // other codes do nothing
    QVERIFY(Control<CIPAddressEdit>(page, ids::kEditAccessIp)->Field(0)->hasFocus());
}

void SettingsTest::ipFilterAddsOrderedRanges() {
    TestFolder folder;
    folder.PrepareDatabase();
    Shell shell;
    CPWTIPFilterView* page = Filter(shell);
    page->OnPageShown();
    QCOMPARE(page->List().columnCount(), 2);
    // The two addresses share the list's width, whatever the window's size.
    for (int column : {0, 1}) {
        QCOMPARE(page->List().horizontalHeader()->sectionResizeMode(column), QHeaderView::Stretch);
    }
    QCOMPARE(page->List().columnWidth(0), page->List().columnWidth(1));
    QCOMPARE(page->List().horizontalHeaderItem(0)->text(), QString("IP起始地址"));
    page->BeginEdit().SetText("10.0.0.9");
    page->EndEdit().SetText("10.0.0.1");
    Click(page, ids::kButtonAddRange);
    IpRangeList stored;
    host::HostTestAccess::Database(*shell.host).LoadIpList(IpListTable::White, stored);
    QCOMPARE(stored.size(), std::size_t{1});
    QCOMPARE(stored[0].begin_ip, Ip("10.0.0.1"));
    QCOMPARE(stored[0].end_ip, Ip("10.0.0.9"));
    QCOMPARE(page->List().rowCount(), 1);
    QCOMPARE(page->List().item(0, 0)->text(), QString("10.0.0.1"));
    QCOMPARE(page->List().item(0, 1)->text(), QString("10.0.0.9"));

    // An empty editor adds 0.0.0.0 - 0.0.0.0.
    page->BeginEdit().Clear();
    page->EndEdit().Clear();
    Click(page, ids::kButtonAddRange);
    QCOMPARE(page->List().rowCount(), 2);
    QCOMPARE(page->List().item(1, 0)->text(), QString("0.0.0.0"));
}

void SettingsTest::ipFilterTypeSwitchOnlyTowardsTheOtherList() {
    TestFolder folder;
    folder.PrepareDatabase([](ResourceDatabase& db) {
        db.AddIpRange(IpListTable::Black, Ip("172.16.0.1"), Ip("172.16.0.9"));
    });
    Shell shell;
    CPWTIPFilterView* page = Filter(shell);
    page->OnPageShown();
    QVERIFY(Control<QRadioButton>(page, ids::kRadioAllowList)->isChecked());
    QCOMPARE(page->List().rowCount(), 0);

    // A row added behind the page's back shows only when the list is reloaded.
    host::HostTestAccess::Database(*shell.host)
        .AddIpRange(IpListTable::White, Ip("1.2.3.4"), Ip("1.2.3.4"));
    Click(page, ids::kRadioAllowList);
    QCOMPARE(page->List().rowCount(), 0);
    QCOMPARE(shell.host->Settings().Setting(host::kIpNameListType), 0u);

    Click(page, ids::kRadioDenyList);
    QCOMPARE(shell.host->Settings().Setting(host::kIpNameListType), 1u);
    QVERIFY(Control<QRadioButton>(page, ids::kRadioDenyList)->isChecked());
    QCOMPARE(page->List().rowCount(), 1);
    QCOMPARE(page->List().item(0, 0)->text(), QString("172.16.0.1"));

    Click(page, ids::kRadioAllowList);
    QCOMPARE(shell.host->Settings().Setting(host::kIpNameListType), 0u);
    QCOMPARE(page->List().rowCount(), 1);
    QCOMPARE(page->List().item(0, 0)->text(), QString("1.2.3.4"));
}

void SettingsTest::ipFilterCheckboxTakesEffectAtOnce() {
    TestFolder folder;
    folder.PrepareDatabase([](ResourceDatabase& db) {
        db.AddIpRange(IpListTable::White, Ip("10.0.0.1"), Ip("10.0.0.9"));
    });
    Shell shell;
    CPWTIPFilterView* page = Filter(shell);
    page->OnPageShown();
    auto* enabled = Control<QCheckBox>(page, ids::kCheckUseFilter);
    QVERIFY(!enabled->isChecked());
    QVERIFY(!host::HostTestAccess::IpFilter(*shell.host).Refuses(Ip("192.168.1.1")));
    Click(page, ids::kCheckUseFilter);
    QCOMPARE(shell.host->Settings().Setting(host::kUseIpFilter), 1u);
    QVERIFY(host::HostTestAccess::IpFilter(*shell.host).Refuses(Ip("192.168.1.1")));
    QVERIFY(!host::HostTestAccess::IpFilter(*shell.host).Refuses(Ip("10.0.0.5")));
    Click(page, ids::kCheckUseFilter);
    QCOMPARE(shell.host->Settings().Setting(host::kUseIpFilter), 0u);
    QVERIFY(!host::HostTestAccess::IpFilter(*shell.host).Refuses(Ip("192.168.1.1")));
}

void SettingsTest::ipFilterDeleteTakesTheFirstSelectedLine() {
    TestFolder folder;
    folder.PrepareDatabase([](ResourceDatabase& db) {
        db.AddIpRange(IpListTable::White, Ip("1.0.0.1"), Ip("1.0.0.2"));
        db.AddIpRange(IpListTable::White, Ip("2.0.0.1"), Ip("2.0.0.2"));
        db.AddIpRange(IpListTable::White, Ip("3.0.0.1"), Ip("3.0.0.2"));
    });
    Shell shell;
    CPWTIPFilterView* page = Filter(shell);
    page->OnPageShown();
    Click(page, ids::kButtonDeleteRange);  // nothing selected: nothing deleted
    QCOMPARE(page->List().rowCount(), 3);
    page->List().setSelectionMode(QAbstractItemView::MultiSelection);
    page->List().selectRow(2);
    page->List().selectRow(1);
    Click(page, ids::kButtonDeleteRange);
    QCOMPARE(page->List().rowCount(), 2);
    QCOMPARE(page->List().item(0, 0)->text(), QString("1.0.0.1"));
    QCOMPARE(page->List().item(1, 0)->text(), QString("3.0.0.1"));
    IpRangeList stored;
    host::HostTestAccess::Database(*shell.host).LoadIpList(IpListTable::White, stored);
    QCOMPARE(stored.size(), std::size_t{2});
}

// Beside the designed editors: a range typed as CIDR or first-last, an imported block list
// with its report, an export, and the counts of both lists.
void SettingsTest::ipFilterTakesTypedRangesAndBlockLists() {
    TestFolder folder;
    folder.PrepareDatabase([](ResourceDatabase& db) {
        db.AddIpRange(IpListTable::White, Ip("1.0.0.1"), Ip("1.0.0.2"));
    });
    Shell shell;
    CPWTIPFilterView* page = Filter(shell);
    page->OnPageShown();
    auto* counts = Control<QLabel>(page, ids::kLabelListCounts);
    QCOMPARE(counts->text(),
             QStringLiteral("允许列表：1 条　禁止列表：0 条　（当前使用：允许列表）"));

    Type(page, ids::kEditRangeText, "10.0.0.0/8");
    Click(page, ids::kButtonAddRangeText);
    QCOMPARE(page->List().rowCount(), 2);
    QCOMPARE(page->List().item(1, 1)->text(), QString("10.255.255.255"));
    QCOMPARE(Text(page, ids::kEditRangeText), QString());
    Type(page, ids::kEditRangeText, "10.0.0.0/40");
    Click(page, ids::kButtonAddRangeText);
    QCOMPARE(page->List().rowCount(), 2);
    QCOMPARE(shell.prompter.messages.size(), 1);
    QVERIFY(shell.prompter.messages.back().contains(QStringLiteral("IP段格式有误")));

    Click(page, ids::kRadioDenyList);
    const std::filesystem::path list =
        std::filesystem::path(folder.path().toStdString()) / "list.p2p";
    std::ofstream(list) << "Org:5.5.5.0-5.5.5.255\nnonsense\n";
    page->ImportFile(list);
    QCOMPARE(page->List().rowCount(), 1);
    QVERIFY(shell.prompter.messages.back().contains(QStringLiteral("line 2: refused")));
    QVERIFY(shell.prompter.messages.back().contains(QStringLiteral("已添加 1 条")));
    QCOMPARE(counts->text(),
             QStringLiteral("允许列表：2 条　禁止列表：1 条　（当前使用：禁止列表）"));

    const std::filesystem::path exported =
        std::filesystem::path(folder.path().toStdString()) / "out.txt";
    QVERIFY(page->ExportFile(exported));
    std::ifstream in(exported);
    std::string line;
    std::getline(in, line);
    QCOMPARE(line, std::string("5.5.5.0/24"));
}

QTEST_MAIN(SettingsTest)
#include "settings_test.moc"
