// A phone's menu in the device list, in the window's dark look.
#pragma once

#include <functional>

class QPoint;
class QWidget;

namespace devicemenu {

// The window's dark look for menus; a menu is a window of its own and
// inherits none.
extern const char *const kStyle;

enum class Choice { None, TypedText, Clipboard };

// Shows the menu at globalPos and returns what the user chose. Only a
// paired phone accepts messages from this computer: for others the entries
// are shown disabled. A phone added by address also offers "Entfernen",
// which runs remove and returns None.
Choice exec(QWidget *parent, const QPoint &globalPos, bool paired, const std::function<void()> &remove = {});

} // namespace devicemenu
