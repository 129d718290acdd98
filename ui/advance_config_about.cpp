#include "ui/advance_config_about.h"

#include <QLabel>
#include <QVBoxLayout>

#include "core/app_state.h"

namespace ipcam::ui {

CAdvanceConfigAbout::CAdvanceConfigAbout(QWidget* parent) : CAdvanceConfigPage(parent) {
  setObjectName(QStringLiteral("CAdvanceConfigAbout"));
  information_ = new QLabel(this);
  version_ = new QLabel(this);
  information_->setObjectName(QStringLiteral("informationLabel"));
  version_->setObjectName(QStringLiteral("versionLabel"));
  version_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* whole = new QVBoxLayout(this);
  whole->addSpacing(24);
  whole->addWidget(information_, 0, Qt::AlignHCenter);
  whole->addWidget(version_, 0, Qt::AlignHCenter);
  whole->addStretch();
  retranslateUi();
}

void CAdvanceConfigAbout::retranslateUi() {
  information_->setText(languageText("AdvanceConfigAbout", "Static_Informatin"));
  version_->setText(languageText("AdvanceConfigAbout", "Static_Version") + QStringLiteral(": ") +
                    qtText(versionText()));
}

}  // namespace ipcam::ui
