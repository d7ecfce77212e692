#pragma once
// CPWTConfigSettingView (dialog 314): the access address, the upload and connection limits,
// the two ports and the Master ID. The page keeps no settings of its own: every button reads
// its controls, calls one host operation and, where it says so, shows the result again.

#include "wharfkeep/ui/page.h"

class QLineEdit;
class QRadioButton;
class QPushButton;

namespace wharfkeep::ui {

class CIPAddressEdit;

// A number typed by the operator as the classic decimal conversion reads it: leading blanks,
// an optional "+", then the leading digits; no digits or a negative number read as 0, and
// values beyond 32 bits are held at the largest 32-bit value.
std::uint32_t TypedNumber(const QString& text);
// Kilobits per second typed on the page to the bytes per second stored (× 1024 / 8), held
// at the largest 32-bit value; and the stored value shown again (× 8 / 1024, rounded down).
std::uint32_t KilobitsToBytesPerSecond(std::uint32_t kilobits);
std::uint32_t BytesPerSecondToKilobits(std::uint64_t bytes_per_second);

class CPWTConfigSettingView : public CPWTPage {
    Q_OBJECT
public:
    CPWTConfigSettingView(const PageContext& context, QWidget* parent = nullptr);

    // Showing the page reloads every field.
    void OnPageShown() override;
    void FocusField(int code) override;
    std::vector<ScreenshotDialog> ScreenshotDialogs() override;

    void LoadAccess();
    void LoadLimits();  // also "恢复当前值"
    void LoadPorts();
    void LoadMasterId();

    // The buttons.
    void FillLocalAddress();  // "本机IP"
    void SaveAccess();        // "保存设置" of "IP设置"
    void SaveLimits();        // "保存设置" of "连接设置"
    void DefaultPorts();      // "默认端口"
    void SavePorts();         // "保存设置" of "端口设置"
    void ChangeMasterId();    // "更换ID"
    // The page's part after the dialog accepted `fresh`: stores it unless it equals the
    // current identity with case ignored.
    void ApplyNewMasterId(const QString& current, const QString& fresh);

private:
    QWidget* BuildAccessGroup();
    QWidget* BuildLimitsGroup();
    QWidget* BuildPortsGroup();
    QWidget* BuildMasterIdGroup();

    QRadioButton* by_ip_ = nullptr;
    QRadioButton* by_domain_ = nullptr;
    CIPAddressEdit* access_ip_ = nullptr;
    QLineEdit* access_domain_ = nullptr;
    QLineEdit* speed_limit_ = nullptr;
    QLineEdit* connection_limit_ = nullptr;
    QLineEdit* transfer_port_ = nullptr;
    QLineEdit* protocol_port_ = nullptr;
    QLineEdit* master_id_ = nullptr;
};

}  // namespace wharfkeep::ui
