#pragma once

#include <QString>

// Encoded words (=?charset?encoding?text?=) as servers put them into header values. Only utf-8
// words are decoded; anything else is passed on as it came, so a name is never lost, at worst
// shown raw.
namespace utils {

// Decodes every utf-8 encoded word of text; plain text and other words are kept, the latter
// without their "=?" and "?=" markers.
QString decodeMimeText(const QString &text);

// One encoded word without its markers, "charset?encoding?text", encoding B (Base64) or Q.
// Anything else is logged and returned unchanged.
QString decodeMimeString(const QString &piece);

} // namespace utils
