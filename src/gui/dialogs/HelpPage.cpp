#include "gui/dialogs/HelpPage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace tw::gui {

QString helpPagePath() {
    // The program may be installed with another prefix than the one it was built for
    // (cmake --install --prefix): its own share folder comes first.
    QStringList candidates;
    if (QCoreApplication::instance()) {
        candidates << QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                      QStringLiteral("/../share/tarnwick/help/index.html"));
    }
    candidates << QStringLiteral(TARNWICK_HELP_INSTALLED);
    for (const QString& path : candidates) {
        if (QFileInfo(path).isFile()) {
            return path;
        }
    }
    return QStringLiteral(TARNWICK_HELP_SOURCE);
}

QUrl helpPageUrl(const QString& section) {
    QUrl url = QUrl::fromLocalFile(helpPagePath());
    if (!section.isEmpty()) {
        url.setFragment(section);
    }
    return url;
}

} // namespace tw::gui
