#include "MimeText.h"

#include <QByteArray>
#include <QDebug>
#include <QStringList>

namespace utils {

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// "_" stays "_": names are what we decode, and a blank there would change the name.
QByteArray decodeQ(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) != '=') {
            out.append(text.at(i));
            continue;
        }
        if (i + 2 >= text.size())
            break;
        const int high = hexDigit(text.at(i + 1));
        const int low = hexDigit(text.at(i + 2));
        out.append(high < 0 || low < 0 ? char(0) : char(high * 16 + low));
        i += 2;
    }
    return out;
}

} // namespace

QString decodeMimeString(const QString &piece)
{
    const QStringList parts = piece.split(QLatin1Char('?'), Qt::SkipEmptyParts);
    const bool utf8 = parts.size() >= 3 && parts.at(0).compare(QLatin1String("utf-8"), Qt::CaseInsensitive) == 0;
    const QString encoding = parts.value(1).toUpper();
    if (!utf8 || (encoding != QLatin1String("B") && encoding != QLatin1String("Q"))) {
        qWarning() << "decodeMimeString: Unknown format:" << piece;
        return piece;
    }
    const QByteArray text = parts.at(2).toLatin1();
    return QString::fromUtf8(encoding == QLatin1String("B") ? QByteArray::fromBase64(text) : decodeQ(text));
}

QString decodeMimeText(const QString &text)
{
    static const QString open = QStringLiteral("=?");
    static const QString close = QStringLiteral("?=");
    QStringList pieces;
    int pos = 0;
    while (pos < text.size()) {
        const int start = text.indexOf(open, pos);
        if (start < 0) {
            pieces << text.mid(pos);
            break;
        }
        if (start > pos)
            pieces << text.mid(pos, start - pos);
        const int body = start + open.size();
        const int charsetEnd = text.indexOf(QLatin1Char('?'), body);
        const int encodingEnd = charsetEnd < 0 ? -1 : text.indexOf(QLatin1Char('?'), charsetEnd + 1);
        const int end = encodingEnd < 0 ? -1 : text.indexOf(close, encodingEnd + 1);
        if (end < 0) {
            pieces << text.mid(body);
            break;
        }
        pieces << text.mid(body, end - body);
        pos = end + close.size();
    }

    QString decoded;
    for (const QString &piece : qAsConst(pieces))
        decoded += piece.startsWith(QLatin1String("utf-8")) ? decodeMimeString(piece) : piece;
    return decoded;
}

} // namespace utils
