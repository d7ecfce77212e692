#pragma once
// A plain page that shows its title, standing in for a page not built yet.

#include <QLabel>
#include <QVBoxLayout>

#include "wharfkeep/ui/page.h"
#include "wharfkeep/ui/ui_ids.h"

namespace wharfkeep::ui {

class StandInPage : public CPWTPage {
public:
    StandInPage(const PageContext& context, QWidget* parent, int id, const QString& title)
        : CPWTPage(context, parent) {
        setObjectName(ObjectId(id));
        auto* layout = new QVBoxLayout(this);
        auto* label = new QLabel(title, this);
        QFont font = label->font();
        font.setPointSize(font.pointSize() + 4);
        label->setFont(font);
        layout->addWidget(label);
        layout->addStretch();
    }
};

}  // namespace wharfkeep::ui
