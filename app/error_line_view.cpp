#include "error_line_view.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QLabel>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

namespace {

const char kLineSeparator[] = " | ";

}  // namespace

ErrorLineView::ErrorLineView(QLabel *label, QWidget *cover)
    : QObject(label)
    , label(label)
    , cover(cover)
{
    label->installEventFilter(this);
}

QString ErrorLineView::OneLine(const QString &text)
{
    QStringList lines;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();  // also the \r of a \r\n
        if (!trimmed.isEmpty())
            lines << trimmed;
    }
    return lines.join(QLatin1String(kLineSeparator));
}

int ErrorLineView::UsableWidth() const
{
    const QRect contents = label->contentsRect();
    if (!cover || cover->isHidden() || cover->parentWidget() != label->parentWidget())
        return contents.width();
    // The text is centred, so a cover over one end takes its width from both ends.
    const QRect covered = label->geometry().intersected(cover->geometry());
    return qMax(0, contents.width() - 2 * covered.width());
}

QString ErrorLineView::ShownText() const
{
    return QFontMetrics(label->font()).elidedText(OneLine(label->text()), Qt::ElideRight, UsableWidth());
}

bool ErrorLineView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != label)
        return false;
    if (event->type() == QEvent::Paint) {
        QPainter painter(label);
        const int alignment = QStyle::visualAlignment(label->layoutDirection(), label->alignment());
        label->style()->drawItemText(&painter, label->contentsRect(), alignment, label->palette(),
                                     label->isEnabled(), ShownText(), label->foregroundRole());
        return true;
    }
    if (event->type() == QEvent::ToolTip) {
        // Asked for at the moment of showing, so it is never older than the text.
        const auto *help = static_cast<QHelpEvent *>(event);
        if (label->text().trimmed().isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), label->text(), label);
        return true;
    }
    return false;
}
