// The Edit menu's commands and which of them would do something in a widget
// that takes the edit keys itself: a text field or the activity log's list.
// (The gallery grid's share, Select All, Delete and Paste of image files,
// is the main window's business, as it depends on the gallery's state.)
#pragma once

class QWidget;

enum class EditCommand { undo, redo, cut, copy, paste, deleteForward, selectAll };

namespace EditCommandTarget {

// A text field (single or multi-line) or the activity log's list.
bool editsByItself(const QWidget *widget);
// Whether `command` would change, copy or select something in such a widget
// now, with text on the clipboard or not; false for every other widget.
// (The caller says what the clipboard holds: asking the window system for
// it may take a round trip to another program.)
bool canPerform(EditCommand command, const QWidget *widget, bool clipboardHasText);

} // namespace EditCommandTarget
