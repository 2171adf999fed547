#include "gui/feed/CAnnounceDlg.h"

#include "gui/common/ProgramIcon.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace tw::gui {

CAnnounceDlg::CAnnounceDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName(QStringLiteral("announceDialog"));
    // Without a title the window manager would show the executable's name.
    setWindowTitle(QStringLiteral("Tarnwick"));
    setWindowIcon(programIcon());

    auto* icon = new QLabel(this);
    const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(programIcon().pixmap(size, size));
    auto* news = new QLabel(tr("Tarnwickの新しいお知らせがあります"), this);
    auto* question = new QLabel(tr("お知らせを読みますか？"), this);

    m_yes = new QPushButton(tr("はい"), this);
    m_yes->setObjectName(QStringLiteral("yesButton"));
    m_yes->setDefault(true);
    m_decline = new QPushButton(tr("拒否します"), this);
    m_decline->setObjectName(QStringLiteral("declineButton"));
    m_decline->setAutoDefault(false);
    m_later = new QPushButton(tr("次の機会にします"), this);
    m_later->setObjectName(QStringLiteral("laterButton"));
    m_later->setAutoDefault(false);
    connect(m_yes, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_decline, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_later, &QPushButton::clicked, this, [this] { done(kLater); });

    auto* texts = new QVBoxLayout;
    texts->addWidget(news);
    texts->addWidget(question);
    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(texts, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_yes);
    buttons->addWidget(m_decline);
    buttons->addWidget(m_later);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(buttons);
    m_yes->setFocus();
}

CAnnounceFeed::Answer CAnnounceDlg::ask() {
    return answerFor(exec());
}

CAnnounceFeed::Answer CAnnounceDlg::answerFor(int result) {
    switch (result) {
    case QDialog::Accepted:
        return CAnnounceFeed::Answer::Yes;
    case kLater:
        return CAnnounceFeed::Answer::Later;
    default:
        // Escape and every other way of closing the dialog.
        return CAnnounceFeed::Answer::Decline;
    }
}

} // namespace tw::gui
