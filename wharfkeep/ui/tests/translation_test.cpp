// The window's language: the committed English translation is current and complete, a
// non-Chinese locale shows no Chinese text anywhere in the window, a Chinese one shows the
// designed texts and Qt's own buttons in Chinese, and the host's questions keep their values.

#include <QAbstractButton>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTreeWidget>
#include <QXmlStreamReader>

#include <map>

#include "guider_tree.h"
#include "ui_test_support.h"
#include "wharfkeep/ui/translations.h"

using namespace wharfkeep;
using namespace wharfkeep::ui;
using namespace wharfkeep::ui::testing;

namespace {

struct Translation {
    QString text;
    bool finished = false;
};
// (context, source) -> translation.
using TranslationMap = std::map<std::pair<QString, QString>, Translation>;

TranslationMap ReadTs(const QString& path) {
    TranslationMap map;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return map;
    }
    QXmlStreamReader xml(&file);
    QString context;
    QString source;
    while (!xml.atEnd()) {
        if (!xml.readNextStartElement()) {
            continue;
        }
        if (xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.name() == QLatin1String("source")) {
            source = xml.readElementText();
        } else if (xml.name() == QLatin1String("translation")) {
            const QString type = xml.attributes().value(QLatin1String("type")).toString();
            Translation translation;
            translation.text = xml.readElementText();
            translation.finished = type.isEmpty() && !translation.text.isEmpty();
            map[{context, source}] = translation;
        }
    }
    return map;
}

bool HasHan(const QString& text) {
    static const QRegularExpression han(QStringLiteral("\\p{Han}"));
    return han.match(text).hasMatch();
}

// The placeholders of a text, sorted: a translation must carry the same ones.
QStringList Placeholders(const QString& text) {
    static const QRegularExpression placeholder(QStringLiteral("%(\\d|s|u)"));
    QStringList found;
    for (auto it = placeholder.globalMatch(text); it.hasNext();) {
        found << it.next().captured();
    }
    found.sort();
    return found;
}

// Every text a person reads in `root` and its children: labels, buttons, group titles,
// place-holders, combo items, list headers, tree items, menu entries and window titles.
QStringList ShownTexts(QWidget& root) {
    QStringList texts{root.windowTitle()};
    QList<QWidget*> widgets = root.findChildren<QWidget*>();
    widgets.prepend(&root);
    for (QWidget* widget : widgets) {
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            texts << label->text();
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            texts << button->text();
        } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
            texts << group->title();
        } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
            texts << edit->placeholderText();
        } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
            for (int i = 0; i < combo->count(); ++i) {
                texts << combo->itemText(i);
            }
        } else if (auto* tree = qobject_cast<QTreeWidget*>(widget)) {
            for (QTreeWidgetItemIterator it(tree); *it; ++it) {
                texts << (*it)->text(0);
            }
        } else if (auto* menu = qobject_cast<QMenu*>(widget)) {
            for (QAction* action : menu->actions()) {
                texts << action->text();
            }
        }
        if (auto* view = qobject_cast<QAbstractItemView*>(widget); view && view->model()) {
            for (int column = 0; column < view->model()->columnCount(); ++column) {
                texts << view->model()->headerData(column, Qt::Horizontal).toString();
            }
        }
    }
    return texts;
}

QTreeWidgetItem* ItemOfKind(CPWTGuiderTree& tree, int kind) {
    for (QTreeWidgetItemIterator it(&tree); *it; ++it) {
        const host::CPWTGuiderTreeNode* node = CPWTGuiderTree::NodeOf(*it);
        if (node != nullptr && node->kind == kind) {
            return *it;
        }
    }
    return nullptr;
}

constexpr PageSlot kSlots[] = {PageSlot::Publish, PageSlot::ConnectionMonitor, PageSlot::StateInfo,
                               PageSlot::ConfigSetting, PageSlot::IpFilter};

}  // namespace

class TranslationTest : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { InstallTranslations(WindowLanguage::Chinese); }
    void committedTranslationIsCurrentAndComplete();
    void languageFollowsTheLocale();
    void englishWindowShowsNoChinese();
    void chineseWindowShowsTheDesignedTexts();
    void hostQuestionsKeepTheirValues();
};

void TranslationTest::committedTranslationIsCurrentAndComplete() {
    // lupdate over the code as it is now, into a copy of the committed file: a text added,
    // changed or removed without updating the .ts shows as a difference.
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("current.ts"));
    QVERIFY(QFile::copy(QStringLiteral(WK_TS_FILE), copy));
    QFile args_file(QStringLiteral(WK_LUPDATE_ARGS_FILE));
    QVERIFY(args_file.open(QIODevice::ReadOnly));
    QStringList args = QString::fromUtf8(args_file.readAll()).split('\n', Qt::SkipEmptyParts);
    args << QStringLiteral("-ts") << copy;
    QProcess lupdate;
    lupdate.start(QStringLiteral(WK_LUPDATE), args);
    QVERIFY(lupdate.waitForFinished(60000));
    QCOMPARE(lupdate.exitCode(), 0);

    const TranslationMap committed = ReadTs(QStringLiteral(WK_TS_FILE));
    const TranslationMap current = ReadTs(copy);
    QVERIFY(committed.size() > 100);
    for (const auto& [key, translation] : current) {
        const QString where = key.first + QStringLiteral(": ") + key.second;
        QVERIFY2(committed.count(key) == 1, qPrintable("not in the .ts: " + where));
        QVERIFY2(translation.finished, qPrintable("no finished English for " + where));
        QVERIFY2(!HasHan(translation.text), qPrintable("Chinese left in " + where));
        QCOMPARE(Placeholders(translation.text), Placeholders(key.second));
    }
    QCOMPARE(current.size(), committed.size());
}

void TranslationTest::languageFollowsTheLocale() {
    QCOMPARE(LanguageFor(QLocale(QStringLiteral("zh_CN"))), WindowLanguage::Chinese);
    QCOMPARE(LanguageFor(QLocale(QStringLiteral("zh_TW"))), WindowLanguage::Chinese);
    QCOMPARE(LanguageFor(QLocale(QStringLiteral("en_US"))), WindowLanguage::English);
    QCOMPARE(LanguageFor(QLocale(QStringLiteral("de_DE"))), WindowLanguage::English);
    QCOMPARE(LanguageFor(QLocale::c()), WindowLanguage::English);
}

void TranslationTest::englishWindowShowsNoChinese() {
    QVERIFY(InstallTranslations(WindowLanguage::English));
    TestFolder folder;
    folder.PrepareDatabase([](ResourceDatabase& db) { db.AddDirectory("/m/a/", "a", 0); });
    Shell shell;
    shell.frame->resize(800, 600);
    shell.frame->show();
    Shell::Settle();

    CPWTGuiderTree& tree = shell.frame->Tree();
    QCOMPARE(ItemOfKind(tree, host::kNodeStatus)->text(0), QStringLiteral("Status"));
    QCOMPARE(ItemOfKind(tree, host::kNodeSettings)->text(0), QStringLiteral("Settings"));
    // The tree's menus are made when asked for.
    std::unique_ptr<QMenu> directory_menu =
        tree.ContextMenuFor(ItemOfKind(tree, host::kNodeDirectory));
    std::unique_ptr<QMenu> root_menu = tree.ContextMenuFor(nullptr);
    QStringList texts =
        ShownTexts(*shell.frame) + ShownTexts(*directory_menu) + ShownTexts(*root_menu);
    QVERIFY(texts.contains(QStringLiteral("Unpublish this folder")));

    // Every page and every dialog the pages open.
    for (PageSlot slot : kSlots) {
        CPWTPage* page = shell.Page(slot);
        QVERIFY(page != nullptr);
        texts += ShownTexts(*page);
        for (const ScreenshotDialog& dialog : page->ScreenshotDialogs()) {
            std::unique_ptr<QWidget> shown = dialog.make(shell.frame.get());
            QVERIFY2(shown != nullptr, qPrintable(dialog.file_name));
            texts += ShownTexts(*shown);
        }
    }
    QVERIFY(texts.contains(QStringLiteral("Save")));
    // Help opens the English help file.
    tree.setCurrentItem(ItemOfKind(tree, host::kNodeHelp));
    Shell::Settle();
    QCOMPARE(shell.opened.size(), std::size_t{1});
    QVERIFY(shell.opened.front().toLocalFile().endsWith(QStringLiteral("/help_en.html")));
    QVERIFY(texts.contains(QStringLiteral("Peer ID")));
    for (const QString& text : texts) {
        QVERIFY2(!HasHan(text), qPrintable(text));
    }
}

void TranslationTest::chineseWindowShowsTheDesignedTexts() {
    QVERIFY(InstallTranslations(WindowLanguage::Chinese));
    TestFolder folder;
    folder.PrepareDatabase();
    Shell shell;
    CPWTGuiderTree& tree = shell.frame->Tree();
    QCOMPARE(ItemOfKind(tree, host::kNodeStatus)->text(0), QStringLiteral("状态信息"));
    QCOMPARE(ItemOfKind(tree, host::kNodeHelp)->text(0), QStringLiteral("帮助说明"));
    QVERIFY(ShownTexts(*shell.Page(PageSlot::ConfigSetting)).contains(QStringLiteral("保存设置")));

    // Qt's own standard buttons follow the language too.
    QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QCOMPARE(buttons.button(QDialogButtonBox::Cancel)->text().remove(QLatin1Char('&')),
             QStringLiteral("取消"));
    QVERIFY(InstallTranslations(WindowLanguage::English));
    QDialogButtonBox english(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QCOMPARE(english.button(QDialogButtonBox::Cancel)->text().remove(QLatin1Char('&')),
             QStringLiteral("Cancel"));
}

void TranslationTest::hostQuestionsKeepTheirValues() {
    const std::string conflict = "传输端口（8189）有冲突，请手动修改端口，以便工具正常服务。";
    const std::string address = "当前IP地址(10.0.0.1)有误，无法正常提供服务，您需要修改IP地址吗？";
    QVERIFY(InstallTranslations(WindowLanguage::Chinese));
    QCOMPARE(HostText(conflict), QString::fromStdString(conflict));

    QVERIFY(InstallTranslations(WindowLanguage::English));
    QCOMPARE(HostText(conflict), QStringLiteral("The peer port (8189) is in use. Please change the "
                                                "port so that the service can work."));
    QVERIFY(HostText(address).contains(QStringLiteral("(10.0.0.1)")));
    QVERIFY(!HasHan(HostText(address)));
    QVERIFY(!HasHan(HostText(host::kResumeQuestion)));
    // Texts the window does not know, and near misses of a pattern, stay as they are.
    QCOMPARE(HostText("database is locked"), QStringLiteral("database is locked"));
    QCOMPARE(HostText("传输端口（8189）"), QStringLiteral("传输端口（8189）"));
    QCOMPARE(NavigationText("状态信息"), QStringLiteral("Status"));
}

QTEST_MAIN(TranslationTest)
#include "translation_test.moc"
