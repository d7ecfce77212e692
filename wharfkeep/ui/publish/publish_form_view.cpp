#include "publish_form_view.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

#include "add_dir_dialog.h"
#include "publish_ids.h"
#include "wharfkeep/host/link_export.h"
#include "wharfkeep/host/media_state.h"
#include "wharfkeep/ui/column_fit.h"
#include "wharfkeep/ui/prompter.h"
#include "wharfkeep/ui/ui_ids.h"

namespace wharfkeep::ui {

using host::AppMessage;
using host::AppPayload;

namespace {

constexpr int kProgressIntervalMs = 1000;

const char* const kFilterTexts[kStateFilterCount] = {
    QT_TRANSLATE_NOOP("wharfkeep::ui::CPWTPublishFormView", "全部"),
    QT_TRANSLATE_NOOP("wharfkeep::ui::CPWTPublishFormView", "已发布"),
    QT_TRANSLATE_NOOP("wharfkeep::ui::CPWTPublishFormView", "未发布"),
    QT_TRANSLATE_NOOP("wharfkeep::ui::CPWTPublishFormView", "等待发布"),
    QT_TRANSLATE_NOOP("wharfkeep::ui::CPWTPublishFormView", "发布失败")};

QPushButton* MakeButton(QWidget* parent, int id, const QString& text) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(ObjectId(id));
    return button;
}

QLineEdit* MakeReadOnlyEdit(QWidget* parent, int id) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(ObjectId(id));
    edit->setReadOnly(true);
    return edit;
}

}  // namespace

std::optional<int> StateOfFilter(int filter_index) {
    switch (filter_index) {
        case 1:
            return host::kPublished;
        case 2:
            return host::kNotPublished;
        case 3:
            return host::kWaiting;
        case 4:
            return host::kFailed;
        default:
            return std::nullopt;
    }
}

CPWTPublishFormView::CPWTPublishFormView(const PageContext& context, QWidget* parent)
    : CPWTPage(context, parent) {
    setObjectName(ObjectId(ids::kPublishPage));
    proxy_.setSourceModel(&model_);
    model_.SetFailureReasonSource(
        [this](const std::string& path) { return Host().Library().FailureReason(path); });
    BuildControls();
    BuildContextMenu();
    progress_timer_.setInterval(kProgressIntervalMs);
    connect(&progress_timer_, &QTimer::timeout, this, &CPWTPublishFormView::RefreshProgress);
}

CPWTPublishFormView::~CPWTPublishFormView() = default;

void CPWTPublishFormView::BuildControls() {
    publish_button_ = MakeButton(this, ids::kButtonPublish, tr("发布"));
    unpublish_button_ = MakeButton(this, ids::kButtonUnpublish, tr("取消发布"));
    export_button_ = MakeButton(this, ids::kButtonExportLinks, tr("导出链接"));
    refresh_button_ = MakeButton(this, ids::kButtonRefresh, tr("刷新"));
    filter_ = new QComboBox(this);
    filter_->setObjectName(ObjectId(ids::kComboStateFilter));
    for (const char* text : kFilterTexts) {
        filter_->addItem(tr(text));
    }
    filter_->setCurrentIndex(0);

    list_ = new QTableView(this);
    list_->setObjectName(ObjectId(ids::kListMedia));
    list_->setModel(&proxy_);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setShowGrid(true);
    list_->setWordWrap(false);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->verticalHeader()->hide();
    list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 6);
    // The selection keeps its colour when the list loses focus.
    QPalette palette = list_->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight,
                     palette.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Active, QPalette::HighlightedText));
    list_->setPalette(palette);
    QHeaderView* header = list_->horizontalHeader();
    header->setSectionsClickable(true);
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    // The designed widths, widened where this font needs more for a whole date.
    int date_width = list_->fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) +
                     2 * list_->style()->pixelMetric(QStyle::PM_HeaderMargin) + 8;
    for (int column = 0; column < kMediaColumnCount; ++column) {
        int width = kMediaColumnWidths[column];
        if (column == kColumnFileDate || column == kColumnPublishDate) {
            width = std::max(width, date_width);
        }
        header->resizeSection(column, width);
    }

    local_path_ = MakeReadOnlyEdit(this, ids::kEditLocalPath);
    link_ = MakeReadOnlyEdit(this, ids::kEditLink);
    open_folder_button_ = MakeButton(this, ids::kButtonOpenFolder, tr("打开文件夹"));
    copy_link_button_ = MakeButton(this, ids::kButtonCopyLink, tr("复制链接"));

    auto* top = new QHBoxLayout;
    top->addWidget(publish_button_);
    top->addWidget(unpublish_button_);
    top->addWidget(export_button_);
    top->addWidget(refresh_button_);
    top->addStretch(1);
    top->addWidget(new QLabel(tr("显示："), this));
    top->addWidget(filter_);

    auto* details = new QGridLayout;
    details->addWidget(new QLabel(tr("视频本地路径："), this), 0, 0);
    details->addWidget(local_path_, 0, 1);
    details->addWidget(open_folder_button_, 0, 2);
    details->addWidget(new QLabel(tr("视频链接路径："), this), 1, 0);
    details->addWidget(link_, 1, 1);
    details->addWidget(copy_link_button_, 1, 2);
    details->setColumnStretch(1, 1);

    auto* page = new QVBoxLayout(this);
    page->addLayout(top);
    page->addWidget(list_, 1);
    page->addLayout(details);

    connect(publish_button_, &QPushButton::clicked, this, &CPWTPublishFormView::PublishAll);
    connect(unpublish_button_, &QPushButton::clicked, this,
            &CPWTPublishFormView::UnpublishDirectory);
    connect(export_button_, &QPushButton::clicked, this, &CPWTPublishFormView::ExportListed);
    connect(refresh_button_, &QPushButton::clicked, this, &CPWTPublishFormView::Refresh);
    connect(filter_, &QComboBox::currentIndexChanged, this, [this] { LoadDirectory(); });
    connect(open_folder_button_, &QPushButton::clicked, this,
            &CPWTPublishFormView::OpenSelectedFolder);
    connect(copy_link_button_, &QPushButton::clicked, this, &CPWTPublishFormView::CopyLink);
    connect(header, &QHeaderView::sectionClicked, this, &CPWTPublishFormView::SortByColumn);
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { ReportSelection(); });
    connect(list_, &QTableView::customContextMenuRequested, this, [this](const QPoint& at) {
        if (list_->indexAt(at).isValid()) {
            ShowContextMenu(list_->viewport()->mapToGlobal(at));
        }
    });
}

void CPWTPublishFormView::BuildContextMenu() {
    menu_ = new QMenu(this);
    menu_->setObjectName(ObjectId(ids::kMenuMedia));
    auto add = [this](int command, const QString& text, void (CPWTPublishFormView::*slot)()) {
        QAction* action = menu_->addAction(text);
        action->setObjectName(ObjectId(command));
        action->setData(command);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    publish_action_ =
        add(ids::kCmdPublishMedia, tr("发布视频"), &CPWTPublishFormView::PublishSelected);
    unpublish_action_ =
        add(ids::kCmdUnpublishMedia, tr("取消发布"), &CPWTPublishFormView::UnpublishSelected);
    menu_->addSeparator();
    export_action_ =
        add(ids::kCmdExportMedia, tr("导出视频链接"), &CPWTPublishFormView::ExportSelected);
    menu_->addSeparator();
    open_folder_action_ = add(ids::kCmdOpenMediaFolder, tr("打开所在文件夹"),
                              &CPWTPublishFormView::OpenSelectedFolder);
}

// ---- Page hooks ----

void CPWTPublishFormView::OnPageShown() {
    if (!progress_timer_.isActive()) {
        progress_timer_.start();
    }
}

void CPWTPublishFormView::OnPageHidden() {
    progress_timer_.stop();
}

void CPWTPublishFormView::ShowDirectory(const std::string& path) {
    directory_ = path;
    LoadDirectory();
}

void CPWTPublishFormView::ClearView() {
    directory_.clear();
    model_.Clear();
    ClearDetails();
}

void CPWTPublishFormView::LoadDirectory() {
    if (directory_.empty()) {
        model_.Clear();
    } else {
        // The rows under the directory, in the state the filter selects; the model reads
        // the records of the lines on screen only.
        MediaListing listing{directory_, StateOfFilter(filter_->currentIndex()), ""};
        model_.SetSource(std::make_unique<DatabaseListSource>(Host().Library(), listing));
    }
    // A new listing starts in the order the database returned it.
    proxy_.ClearSort();
    list_->horizontalHeader()->setSortIndicatorShown(false);
    // The figures' columns as wide as what they show, the file name with the rest.
    SizeColumnsToContent(*list_, kColumnName);
    ClearDetails();
    RefreshProgress();
}

void CPWTPublishFormView::UpdateMediaLine(const MediaRecord& record) {
    int row = model_.ApplyUpdate(record);
    if (row < 0) {
        return;
    }
    // Only the line whose details are shown has its details rewritten; another file's
    // change must not replace what the operator is looking at.
    if (!reported_path_.empty() && reported_path_ == record.local_path) {
        ShowDetails(model_.Record(row));
    }
    if (record.state == host::kPublishing) {
        RefreshProgress();
    }
}

void CPWTPublishFormView::ShowMedia(const MediaRecord& record) {
    int row = model_.RowOf(record.local_path);
    QItemSelectionModel* selection = list_->selectionModel();
    if (row < 0) {
        selection->clearSelection();
        return;
    }
    QModelIndex line = proxy_.mapFromSource(model_.index(row, 0));
    selection->setCurrentIndex(line,
                               QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    list_->scrollTo(line);
    list_->setFocus();
}

// ---- Selection and details ----

std::vector<int> CPWTPublishFormView::ListedRows() const {
    std::vector<int> rows;
    rows.reserve(static_cast<std::size_t>(proxy_.rowCount()));
    for (int line = 0; line < proxy_.rowCount(); ++line) {
        rows.push_back(proxy_.mapToSource(proxy_.index(line, 0)).row());
    }
    return rows;
}

std::vector<int> CPWTPublishFormView::SelectedRows() const {
    std::vector<int> lines;
    for (const QModelIndex& index : list_->selectionModel()->selectedRows()) {
        lines.push_back(index.row());
    }
    std::sort(lines.begin(), lines.end());
    std::vector<int> rows;
    rows.reserve(lines.size());
    for (int line : lines) {
        rows.push_back(proxy_.mapToSource(proxy_.index(line, 0)).row());
    }
    return rows;
}

void CPWTPublishFormView::ReportSelection() {
    std::vector<int> selected = SelectedRows();
    if (selected.empty()) {
        return;
    }
    const MediaRecord first = model_.Record(selected.front());
    if (first.local_path != reported_path_) {
        reported_path_ = first.local_path;
        ShowDetails(first);
    }
}

void CPWTPublishFormView::ShowDetails(const MediaRecord& record) {
    local_path_->setText(QString::fromStdString(record.local_path));
    if (record.state != host::kPublished || record.url.empty()) {
        link_->clear();
        return;
    }
    std::string url = record.url;
    int way = Host().Settings().Access().access_way;
    if (way == 0 || way == 1) {
        // The stored link may name an old address or port: hand out the current one.
        url = Host().Directories().RelinkUrl(url);
    }
    link_->setText(QString::fromStdString(host::EncodeLink(url)));
}

void CPWTPublishFormView::ClearDetails() {
    reported_path_.clear();
    local_path_->clear();
    link_->clear();
}

// ---- Publishing and withdrawing ----

std::vector<int> CPWTPublishFormView::Filter(
    const std::vector<int>& rows, const std::function<bool(const MediaRecord&)>& keep) const {
    std::vector<int> kept;
    for (int row : rows) {
        if (keep(model_.Record(row))) {
            kept.push_back(row);
        }
    }
    return kept;
}

std::vector<MediaRecord> CPWTPublishFormView::Copies(const std::vector<int>& rows) const {
    std::vector<MediaRecord> copies;
    copies.reserve(rows.size());
    for (int row : rows) {
        copies.push_back(model_.Record(row));
    }
    return copies;
}

void CPWTPublishFormView::Queue(const std::vector<int>& rows, const std::string* directory) {
    for (int row : rows) {
        model_.SetState(row, host::kWaiting);
    }
    Host().Directories().Publish(Copies(rows), directory);
}

void CPWTPublishFormView::PublishAll() {
    // Without a directory the prefix would be empty and match every file of every directory.
    if (directory_.empty()) {
        return;
    }
    auto unpublished = [](const MediaRecord& r) { return r.state == host::kNotPublished; };
    // Rows hidden by the filter are marked too; the listed ones are the ones queued.
    Queue(Filter(ListedRows(), unpublished), &directory_);
}

void CPWTPublishFormView::PublishSelected() {
    auto unpublished = [](const MediaRecord& r) { return r.state == host::kNotPublished; };
    Queue(Filter(SelectedRows(), unpublished), nullptr);
}

void CPWTPublishFormView::Withdraw(const std::vector<int>& rows, bool whole_directory) {
    if (!MainWindow().window_exists()) {
        return;
    }
    std::vector<MediaRecord> records = Copies(rows);
    if (whole_directory) {
        Host().Directories().WithdrawDirectory(directory_, records);
    } else if (!records.empty()) {
        Host().Directories().WithdrawList(records, false);
    }
}

void CPWTPublishFormView::UnpublishDirectory() {
    if (directory_.empty()) {
        return;
    }
    if (!Prompts().YesNo(tr("您确定取消发布整个目录吗?"), kApplicationTitle)) {
        return;
    }
    auto touched = [](const MediaRecord& r) { return r.state != host::kNotPublished; };
    Withdraw(Filter(ListedRows(), touched), true);
}

void CPWTPublishFormView::UnpublishSelected() {
    if (!Prompts().YesNo(tr("您确定取消发布所选视频吗?"), kApplicationTitle)) {
        return;
    }
    auto touched = [](const MediaRecord& r) { return r.state != host::kNotPublished; };
    Withdraw(Filter(SelectedRows(), touched), false);
}

// ---- Export ----

void CPWTPublishFormView::Export(const std::vector<int>& rows) {
    if (!Prompts().OkCancel(tr("将在桌面创建视频URL文件"), kApplicationTitle)) {
        return;
    }
    auto published = [](const MediaRecord& r) { return r.state == host::kPublished; };
    std::optional<std::filesystem::path> file =
        Host().Directories().ExportLinks(directory_, Copies(Filter(rows, published)));
    if (file) {
        // The main window opens whatever path it is given with the desktop's handler.
        MainWindow().post(AppMessage::WM_APP_OPEN_FOLDER, 0, AppPayload::Text(file->string()));
    }
}

void CPWTPublishFormView::ExportListed() {
    if (directory_.empty()) {
        return;
    }
    Export(ListedRows());
}

void CPWTPublishFormView::ExportSelected() {
    Export(SelectedRows());
}

// ---- Other commands ----

void CPWTPublishFormView::Refresh() {
    MainWindow().post(AppMessage::WM_APP_REFRESH_DIRECTORY, 0, {});
}

void CPWTPublishFormView::OpenSelectedFolder() {
    std::vector<int> selected = SelectedRows();
    if (selected.empty()) {
        return;
    }
    const std::string path = model_.Record(selected.front()).local_path;
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return;
    }
    std::string folder = slash == 0 ? std::string("/") : path.substr(0, slash);
    MainWindow().post(AppMessage::WM_APP_OPEN_FOLDER, 0, AppPayload::Text(folder));
}

void CPWTPublishFormView::CopyLink() {
    QString link = link_->text();
    if (link.isEmpty()) {
        return;
    }
    QApplication::clipboard()->setText(link, QClipboard::Clipboard);
    Prompts().Message(tr("复制链接成功！"), tr("复制链接"), PromptIcon::Information);
}

void CPWTPublishFormView::UpdateContextMenuStates() {
    bool some_unpublished = false;
    bool some_touched = false;
    bool some_published = false;
    for (int row : SelectedRows()) {
        int state = model_.Record(row).state;
        some_unpublished |= state == host::kNotPublished;
        some_touched |= state != host::kNotPublished;
        some_published |= state == host::kPublished;
    }
    publish_action_->setEnabled(some_unpublished);
    unpublish_action_->setEnabled(some_touched);
    export_action_->setEnabled(some_published);
}

void CPWTPublishFormView::ShowContextMenu(const QPoint& global) {
    UpdateContextMenuStates();
    menu_->popup(global);
}

void CPWTPublishFormView::SortByColumn(int column) {
    proxy_.SortByColumnClick(column);
    QHeaderView* header = list_->horizontalHeader();
    header->setSortIndicatorShown(true);
    header->setSortIndicator(column, proxy_.Ascending() ? Qt::AscendingOrder : Qt::DescendingOrder);
}

// ---- Progress of the file being published ----

void CPWTPublishFormView::RefreshProgress() {
    std::vector<int> publishing = model_.RowsInState(host::kPublishing);
    if (publishing.empty()) {
        return;
    }
    std::optional<int> percent = progress_source_ ? progress_source_() : std::nullopt;
    for (int row : publishing) {
        // Only the engine's current file has a percentage; a line left "being published"
        // by an earlier run shows the plain state.
        bool current = Host().Directories().IsBeingPublished(model_.Record(row).local_path);
        model_.SetProgress(row, current ? percent : std::nullopt);
    }
}

std::vector<ScreenshotDialog> CPWTPublishFormView::ScreenshotDialogs() {
    return AddDirectoryScreenshotDialogs();
}

}  // namespace wharfkeep::ui
