#pragma once
// CPWTIPFilterView (dialog 315): switches the IP filter on and off, chooses the allow or the
// deny list and edits the ranges of the active list. The table itself, its lock and the
// stored settings are the host's (IpFilterTable); the page shows the table after each change.

#include "wharfkeep/ui/page.h"

#include <filesystem>

class QCheckBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QTableWidget;

namespace wharfkeep::ui {

class CIPAddressEdit;

class CPWTIPFilterView : public CPWTPage {
    Q_OBJECT
public:
    CPWTIPFilterView(const PageContext& context, QWidget* parent = nullptr);

    // The list is loaded the first time the page is shown.
    void OnPageShown() override;
    // Empties the list and shows the table: enabled flag, list type, one line per range.
    void LoadList();

    void OnEnabledClicked(bool checked);  // 1035
    void OnListTypeChosen(bool deny);     // 1036 / 1037
    void AddRange();                      // 1040 "添加"
    void DeleteSelected();                // 1041 "删除"
    // Beside the designed controls.
    void AddRangeText();     // 1161: the range typed as "10.0.0.0/8" or "a.b.c.d-e.f.g.h"
    void ChooseAndImport();  // 1162: asks for a block-list file, then ImportFile
    void ChooseAndExport();  // 1163: asks for a file, then ExportFile
    void ImportFile(const std::filesystem::path& file);
    bool ExportFile(const std::filesystem::path& file);

    CIPAddressEdit& BeginEdit() const { return *begin_; }
    CIPAddressEdit& EndEdit() const { return *end_; }
    QTableWidget& List() const { return *list_; }

private:
    QCheckBox* enabled_ = nullptr;
    QRadioButton* allow_ = nullptr;
    QRadioButton* deny_ = nullptr;
    CIPAddressEdit* begin_ = nullptr;
    CIPAddressEdit* end_ = nullptr;
    QTableWidget* list_ = nullptr;
    QLineEdit* range_text_ = nullptr;
    QLabel* counts_ = nullptr;
    bool list_not_loaded_ = true;
};

}  // namespace wharfkeep::ui
