// SVG drawings, checked before the toolkit's reader renders them: a drawing is shown only when it
// asks for nothing outside its own file, and is of a size that ends.
#pragma once

#include <QByteArray>

class QIODevice;

namespace drawing {

// Whether the toolkit's SVG reader would take the file: gzip data, or text that starts as XML or
// SVG does.
bool claimed(QIODevice &file);

// The drawing's document, inflated where the file is compressed, if it is well formed, refers to
// nothing outside itself (no external entity, file or address, no nested drawing), and stays
// within its bounds of size, depth and entity expansion; empty otherwise.
QByteArray checked(QIODevice &file);

} // namespace drawing
