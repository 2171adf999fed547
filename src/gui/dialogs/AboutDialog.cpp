#include "gui/dialogs/AboutDialog.h"

#include "core/app/CTarnwickApp.h"
#include "gui/common/ProgramIcon.h"
#include "ui_AboutDialog.h"

namespace tw::gui {

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::AboutDialog>()) {
    m_ui->setupUi(this);
    setWindowIcon(programIcon());
    m_ui->iconLabel->setPixmap(programIcon().pixmap(64, 64));
    m_ui->versionLabel->setText(QStringLiteral("Tarnwick") + QStringLiteral(" Version ") +
                                QString::fromLatin1(CTarnwickApp::kVersionText));
    QFont bold = m_ui->versionLabel->font();
    bold.setBold(true);
    m_ui->versionLabel->setFont(bold);
    m_ui->platformLabel->setText(tr("Linux 版 (Qt %1)").arg(QString::fromLatin1(qVersion())));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

AboutDialog::~AboutDialog() = default;

} // namespace tw::gui
