#include "device_menu.h"

#include <QMenu>

namespace devicemenu {

const char *const kStyle =
    "QMenu { background-color: #1e232c; color: white; border: 1px solid #2f3746; padding: 4px 0; }"
    "QMenu::item { padding: 5px 18px; } QMenu::item:selected { background-color: #3865b4; }"
    "QMenu::item:disabled { color: #5b6577; }"
    "QMenu::separator { height: 1px; background: #2f3746; margin: 4px 8px; }";

Choice exec(QWidget *parent, const QPoint &globalPos, bool paired, const std::function<void()> &remove)
{
    QMenu menu(parent);
    menu.setStyleSheet(QString::fromLatin1(kStyle));
    QAction *typed = menu.addAction(QStringLiteral("Text senden\u2026"));
    QAction *clipboard = menu.addAction(QStringLiteral("Zwischenablage senden"));
    typed->setEnabled(paired);
    clipboard->setEnabled(paired);
    QAction *removal = nullptr;
    if (remove) {
        menu.addSeparator();
        removal = menu.addAction(QStringLiteral("Entfernen"));
    }
    const QAction *chosen = menu.exec(globalPos);
    if (chosen && chosen == removal) {
        remove();
        return Choice::None;
    }
    return chosen == typed ? Choice::TypedText : chosen == clipboard ? Choice::Clipboard : Choice::None;
}

} // namespace devicemenu
