// Picture files decoded into images laid out as this screen's pixmaps.
#pragma once

#include <QImage>
#include <QString>
#include <limits>

// Learns this screen's pixmap formats and lifts the decoder's size limit. Called once, on the
// window's thread, before anything is decoded.
void setupdecoding();

// Decodes a picture so that the pixmap made from it shares its pixels instead of holding a second
// copy; a null image when it cannot be decoded or is larger than the pixels given.
QImage decode(const QString &file, qint64 maxpixels = std::numeric_limits<qint64>::max());
