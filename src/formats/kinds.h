// The everyday formats known by their files' first bytes: the key of the reader that reads each.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

class QIODevice;

// The format of the picture the device holds, by its first bytes, as the key of its reader: png,
// jfif (JPEG), gif, dib (BMP), heif (HEIF and AVIF), jxl, jp2 (JPEG 2000, boxed or bare), webp,
// libtiff (TIFF); empty for what these bytes do not place, which only asking every reader can. The
// device is left where it was.
QByteArray formatof(QIODevice &device);

// Whether the device's first bytes are those of the format of that key, by the same signatures.
// The device is left where it was.
bool startsas(QIODevice &device, QByteArrayView key);
