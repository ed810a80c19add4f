#include "editcommands.h"

#include "ui/activity/activitylogpane.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>

namespace EditCommandTarget {

namespace {

bool lineCan(EditCommand command, const QLineEdit &line, bool clipboardHasText)
{
    const bool editable = !line.isReadOnly();
    // A masked password is neither cut nor copied.
    const bool readable = line.echoMode() == QLineEdit::Normal;
    switch (command) {
    case EditCommand::undo:
        return editable && line.isUndoAvailable();
    case EditCommand::redo:
        return editable && line.isRedoAvailable();
    case EditCommand::cut:
        return editable && readable && line.hasSelectedText();
    case EditCommand::copy:
        return readable && line.hasSelectedText();
    case EditCommand::paste:
        return editable && clipboardHasText;
    case EditCommand::deleteForward:
        return editable && (line.hasSelectedText() || line.cursorPosition() < line.text().size());
    case EditCommand::selectAll:
        return !line.text().isEmpty();
    }
    return false;
}

bool documentCan(
    EditCommand command, const QTextDocument &document, const QTextCursor &cursor, bool readOnly, bool canPaste)
{
    switch (command) {
    case EditCommand::undo:
        return !readOnly && document.isUndoAvailable();
    case EditCommand::redo:
        return !readOnly && document.isRedoAvailable();
    case EditCommand::cut:
        return !readOnly && cursor.hasSelection();
    case EditCommand::copy:
        return cursor.hasSelection();
    case EditCommand::paste:
        return !readOnly && canPaste;
    case EditCommand::deleteForward:
        return !readOnly && (cursor.hasSelection() || !cursor.atEnd());
    case EditCommand::selectAll:
        return !document.isEmpty();
    }
    return false;
}

bool logCan(EditCommand command, const ActivityLogListView &log)
{
    switch (command) {
    case EditCommand::copy:
        return !log.selectedText().isEmpty();
    case EditCommand::selectAll:
        return log.model() && log.model()->rowCount() > 0;
    default:
        return false;
    }
}

} // namespace

bool editsByItself(const QWidget *widget)
{
    return qobject_cast<const QLineEdit *>(widget) || qobject_cast<const QPlainTextEdit *>(widget)
        || qobject_cast<const QTextEdit *>(widget) || qobject_cast<const ActivityLogListView *>(widget);
}

bool canPerform(EditCommand command, const QWidget *widget, bool clipboardHasText)
{
    if (const auto *line = qobject_cast<const QLineEdit *>(widget))
        return lineCan(command, *line, clipboardHasText);
    if (const auto *plain = qobject_cast<const QPlainTextEdit *>(widget))
        return documentCan(command, *plain->document(), plain->textCursor(), plain->isReadOnly(), clipboardHasText);
    if (const auto *rich = qobject_cast<const QTextEdit *>(widget))
        return documentCan(command, *rich->document(), rich->textCursor(), rich->isReadOnly(), clipboardHasText);
    if (const auto *log = qobject_cast<const ActivityLogListView *>(widget))
        return logCan(command, *log);
    return false;
}

} // namespace EditCommandTarget
