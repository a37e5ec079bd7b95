#include "app/gui/file_list_delegate.h"

#include <QAbstractItemView>
#include <QPainter>

namespace tavrin {

TRowColours RowColoursFor(int row, bool selected, bool focused) {
    if (selected) {
        return focused ? TRowColours{QColor(185, 204, 236), QColor(122, 160, 218)}
                       : TRowColours{QColor(229, 236, 248), QColor(152, 181, 226)};
    }
    return {row % 2 == 1 ? QColor(226, 230, 246) : QColor(Qt::white), std::nullopt};
}

void TFileListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    const auto* view = qobject_cast<const QAbstractItemView*>(option.widget);
    const bool focused = view != nullptr && view->hasFocus();
    const TRowColours colours = RowColoursFor(index.row(), selected, focused);

    // Each cell is painted on its own; the frame's sides belong to the first
    // and last column, its top and bottom to every cell, so the cells add up
    // to one frame around the row narrowed by a pixel on the left and right.
    const int lastColumn = index.model()->columnCount(index.parent()) - 1;
    QRect bounds = option.rect;
    if (index.column() == 0) {
        bounds.setLeft(bounds.left() + 1);
    }
    if (index.column() == lastColumn) {
        bounds.setRight(bounds.right() - 1);
    }
    painter->save();
    painter->fillRect(bounds, colours.Fill);
    if (colours.Frame) {
        painter->setPen(*colours.Frame);
        painter->drawLine(bounds.topLeft(), bounds.topRight());
        painter->drawLine(bounds.bottomLeft(), bounds.bottomRight());
        if (index.column() == 0) {
            painter->drawLine(bounds.topLeft(), bounds.bottomLeft());
        }
        if (index.column() == lastColumn) {
            painter->drawLine(bounds.topRight(), bounds.bottomRight());
        }
    }
    const int inset = index.column() == 0 ? 3 : 0;
    const QRect textRect = bounds.adjusted(inset, 0, -inset, 0);
    const QString text = index.data(Qt::DisplayRole).toString();
    const QVariant alignment = index.data(Qt::TextAlignmentRole);
    const Qt::Alignment horizontal =
        alignment.isValid() ? Qt::Alignment(alignment.toInt()) & Qt::AlignHorizontal_Mask
                            : Qt::AlignLeft;
    painter->setPen(QColor(Qt::black));
    painter->setFont(option.font);
    painter->drawText(textRect, int(horizontal | Qt::AlignVCenter | Qt::TextSingleLine),
                      option.fontMetrics.elidedText(text, Qt::ElideRight, textRect.width()));
    painter->restore();
}

}  // namespace tavrin
