// Draws the rows of the audio file list: alternating row colours, a fill and
// a 1-pixel frame for the selected row (stronger while the list has the
// focus), and each cell's text on one line, cut with an ellipsis.
#pragma once

#include <QColor>
#include <QStyledItemDelegate>
#include <optional>

namespace tavrin {

struct TRowColours {
    QColor Fill;
    std::optional<QColor> Frame;  // only for a selected row
};

// The colours of a row (0-based), from its place and selection.
TRowColours RowColoursFor(int row, bool selected, bool focused);

class TFileListDelegate final : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

}  // namespace tavrin
