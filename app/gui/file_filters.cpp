#include "app/gui/file_filters.h"

#include <QRegularExpression>

namespace tavrin {

namespace {

// "*.Mp3" -> "*.[mM][pP]3": letters match in either case.
QString AnyCasePattern(const QString& pattern) {
    QString result;
    for (const QChar c : pattern) {
        if (c.isLetter()) {
            result += QLatin1Char('[') + c.toLower() + c.toUpper() + QLatin1Char(']');
        } else {
            result += c;
        }
    }
    return result;
}

// The patterns inside "Name (p1 p2 ...)".
QStringList PatternsOf(const QString& nameFilter) {
    const qsizetype open = nameFilter.lastIndexOf(QLatin1Char('('));
    const qsizetype close = nameFilter.lastIndexOf(QLatin1Char(')'));
    if (open < 0 || close < open) {
        return {};
    }
    return nameFilter.mid(open + 1, close - open - 1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

}  // namespace

QStringList DialogNameFilters(std::string_view filter) {
    const QStringList parts =
        QString::fromUtf8(filter.data(), static_cast<qsizetype>(filter.size()))
            .split(QLatin1Char('|'));
    QStringList nameFilters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QString anyCase = AnyCasePattern(pattern);
            if (!patterns.contains(anyCase)) {
                patterns << anyCase;
            }
        }
        nameFilters << parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                           QLatin1Char(')');
    }
    return nameFilters;
}

bool MatchesNameFilters(const QString& fileName, const QStringList& nameFilters) {
    for (const QString& nameFilter : nameFilters) {
        for (const QString& pattern : PatternsOf(nameFilter)) {
            const QRegularExpression expression(
                QRegularExpression::wildcardToRegularExpression(pattern));
            if (expression.match(fileName).hasMatch()) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace tavrin
