// JPEG pictures, read with libjpeg-turbo: decoded at the least reduction (a half, a quarter, an
// eighth) that still covers the size asked, straight from the file, and each row averaged into
// the picture at that size as it comes, so that only the size shown is held. Printing inks (CMYK
// and YCCK, Adobe's inverted ones too) are made colours through their profile; the profile, split
// over as many markers as it needs, is read whole; the Exif orientation is told to the toolkit,
// which turns the picture once.

#include "kinds.h"
#include "pixels.h"
#include "profiles.h"
#include "reader.h"

#include <QIODevice>
#include <QImageIOPlugin>
#include <QtEndian>
#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>
#include <optional>
#include <vector>

namespace {

// The file is read in pieces of this many bytes.
constexpr qint64 piece = 64 * 1024;
// A progressive file of more scans than this is taken as made to waste time.
constexpr int mostscans = 1000;

// libjpeg reports errors by jumping back to where it was called from: each call is made from a
// function of its own, with nothing that has a destructor between.
struct failure
{
    jpeg_error_mgr manager {};
    std::jmp_buf back {};
};

[[noreturn]] void failed(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<failure *>(info->err)->back, 1);
}

void silent(j_common_ptr, int) { }

// Past the scans a picture needs, decoding stops.
void progressed(j_common_ptr info)
{
    if (info->is_decompressor
        && reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > mostscans)
        failed(info);
}

// The file's bytes as libjpeg takes them, a piece at a time from the device.
struct source
{
    jpeg_source_mgr manager {};
    QIODevice *device = nullptr;
    std::vector<JOCTET> bytes = std::vector<JOCTET>(size_t(piece));
};

void started(j_decompress_ptr) { }

// A file cut short ends as if its end were there, as libjpeg's own readers end it: the rows that
// came are kept.
boolean filled(j_decompress_ptr info)
{
    auto *from = reinterpret_cast<source *>(info->src);
    const qint64 got = from->device->read(reinterpret_cast<char *>(from->bytes.data()), piece);
    if (got <= 0) {
        from->bytes[0] = 0xff;
        from->bytes[1] = JPEG_EOI;
    }
    from->manager.next_input_byte = from->bytes.data();
    from->manager.bytes_in_buffer = got > 0 ? size_t(got) : 2;
    return TRUE;
}

void skipped(j_decompress_ptr info, long count)
{
    auto *from = reinterpret_cast<source *>(info->src);
    while (count > 0) {
        if (from->manager.bytes_in_buffer == 0)
            filled(info);
        const size_t step = qMin(size_t(count), from->manager.bytes_in_buffer);
        from->manager.next_input_byte += step;
        from->manager.bytes_in_buffer -= step;
        count -= long(step);
    }
}

void ended(j_decompress_ptr) { }

bool readhead(j_decompress_ptr info)
{
    if (setjmp(reinterpret_cast<failure *>(info->err)->back))
        return false;
    return jpeg_read_header(info, TRUE) == JPEG_HEADER_OK;
}

bool begin(j_decompress_ptr info)
{
    if (setjmp(reinterpret_cast<failure *>(info->err)->back))
        return false;
    return jpeg_start_decompress(info);
}

// Rows decoded into `rows`: how many, or -1 where the stream is broken.
int scan(j_decompress_ptr info, JSAMPARRAY rows, int count)
{
    if (setjmp(reinterpret_cast<failure *>(info->err)->back))
        return -1;
    return int(jpeg_read_scanlines(info, rows, JDIMENSION(count)));
}

bool profileof(j_decompress_ptr info, JOCTET **icc, unsigned int *length)
{
    if (setjmp(reinterpret_cast<failure *>(info->err)->back))
        return false;
    return jpeg_read_icc_profile(info, icc, length);
}

// The orientation an Exif block gives, by its tag (1 to 8); 1 where it gives none.
int orientationof(QByteArrayView exif)
{
    if (exif.size() < 14 || !exif.startsWith(QByteArrayView("Exif\0\0", 6)))
        return 1;
    const QByteArrayView tiff = exif.sliced(6);
    const bool little = tiff.startsWith("II");
    const auto number = [&](qsizetype at, int size) -> quint32 {
        if (at < 0 || at + size > tiff.size())
            return 0;
        const auto *p = reinterpret_cast<const uchar *>(tiff.data() + at);
        if (size == 2)
            return little ? qFromLittleEndian<quint16>(p) : qFromBigEndian<quint16>(p);
        return little ? qFromLittleEndian<quint32>(p) : qFromBigEndian<quint32>(p);
    };
    const qsizetype directory = qsizetype(number(4, 4));
    const int entries = int(number(directory, 2));
    for (int i = 0; i < entries; ++i) {
        const qsizetype entry = directory + 2 + qsizetype(i) * 12;
        if (entry + 12 > tiff.size())
            break;
        if (number(entry, 2) == 0x0112 && number(entry + 2, 2) == 3) {
            const quint32 tag = number(entry + 8, 2);
            return tag >= 1 && tag <= 8 ? int(tag) : 1;
        }
    }
    return 1;
}

class jpeghandler : public reader::handler
{
public:
    jpeghandler()
        : handler("jfif", recognises)
    { }
    ~jpeghandler() override;
    bool readimage(QImage *image) override;
    static bool recognises(QIODevice *device);

protected:
    bool readheader() override;

private:
    bool opened();
    void reduce();
    bool gather(pixels::gatherer &into);
    void readprofile();

    jpeg_decompress_struct info {};
    failure error;
    jpeg_progress_mgr progress {};
    source file;
    bool made = false;
    bool finished = false; // read once
    QByteArray icc;
};

bool jpeghandler::recognises(QIODevice *device)
{
    return startsas(*device, "jfif");
}

jpeghandler::~jpeghandler()
{
    if (made)
        jpeg_destroy_decompress(&info);
}

bool jpeghandler::opened()
{
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = failed;
    error.manager.emit_message = silent;
    jpeg_create_decompress(&info);
    made = true;
    progress.progress_monitor = progressed;
    info.progress = &progress;
    // Progressive files keep every coefficient; no picture within the decoding limit needs more.
    info.mem->max_memory_to_use = long(pixels::limitpixels()) * 8;
    file.device = device();
    file.manager.init_source = started;
    file.manager.fill_input_buffer = filled;
    file.manager.skip_input_data = skipped;
    file.manager.resync_to_restart = jpeg_resync_to_restart;
    file.manager.term_source = ended;
    info.src = &file.manager;
    jpeg_save_markers(&info, JPEG_APP0 + 1, 0xffff);
    jpeg_save_markers(&info, JPEG_APP0 + 2, 0xffff);
    return readhead(&info);
}

bool jpeghandler::readheader()
{
    if (!device() || !opened())
        return false;
    for (jpeg_saved_marker_ptr m = info.marker_list; m; m = m->next)
        if (m->marker == JPEG_APP0 + 1 && orientation == 1)
            orientation = orientationof(QByteArrayView(m->data, qsizetype(m->data_length)));
    readprofile();
    // One too large to decode whole is decoded reduced.
    whole = QSize(int(info.image_width), int(info.image_height));
    return true;
}

void jpeghandler::readprofile()
{
    JOCTET *bytes = nullptr;
    unsigned int length = 0;
    if (profileof(&info, &bytes, &length) && bytes)
        icc = QByteArray(reinterpret_cast<const char *>(bytes), qsizetype(length));
    std::free(bytes);
}

// The coarsest reduction libjpeg decodes at (down to an eighth) that still covers the size asked
// on both sides.
void jpeghandler::reduce()
{
    const QSize asked = wanted();
    const auto covers = [&](int shrink) {
        return (qint64(whole.width()) + shrink - 1) / shrink >= asked.width()
            && (qint64(whole.height()) + shrink - 1) / shrink >= asked.height();
    };
    info.scale_num = 1;
    info.scale_denom = unsigned(
        pixels::leastshrink([&](int shrink) { return shrink == 8 || !covers(shrink * 2); }));
}

// Each row averaged into the picture as it comes; inks made colours first. A file cut short
// keeps the rows that came.
bool jpeghandler::gather(pixels::gatherer &into)
{
    const bool inked = info.out_color_space == JCS_CMYK;
    const int channels = info.output_components;
    const int width = int(info.output_width);
    std::vector<JSAMPLE> row(size_t(width) * size_t(channels));
    std::vector<JSAMPLE> rgb(inked ? size_t(width) * 3 : 0);
    std::optional<profiles::converter> colours;
    using model = profiles::converter::model;
    if (inked)
        colours.emplace(info.saw_Adobe_marker ? model::invertedinks : model::inks, icc);
    JSAMPROW rows[] = { row.data() };
    while (info.output_scanline < info.output_height) {
        const int y = int(info.output_scanline);
        const int got = scan(&info, rows, 1);
        if (got < 0)
            return y > 0;
        if (got == 0)
            break;
        if (inked) {
            colours->torgb(row.data(), rgb.data(), width);
            into.addpixels(y, 0, width, rgb.data(), 3);
        } else {
            into.addpixels(y, 0, width, row.data(), channels);
        }
    }
    return true;
}

bool jpeghandler::readimage(QImage *image)
{
    if (!header() || finished)
        return false;
    finished = true;
    reduce();
    const bool grey = info.jpeg_color_space == JCS_GRAYSCALE;
    const bool inked = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = grey ? JCS_GRAYSCALE : inked ? JCS_CMYK : JCS_RGB;
    if (!begin(&info))
        return false;
    pixels::meaning samples;
    samples.kind = grey ? pixels::model::grey : pixels::model::rgb;
    const QSize decoded(int(info.output_width), int(info.output_height));
    const int channels = grey ? 1 : 3;
    pixels::gatherer into(wanted(), samples, QList<pixels::gatherer::grid>(channels, { decoded }));
    if (!into.valid() || !gather(into))
        return false;
    QImage picture = into.finish();
    if (!inked)
        profiles::tosrgb(picture, icc);
    // Done with the file: the handler is not read again.
    jpeg_abort_decompress(&info);
    return deliver(std::move(picture), image);
}

} // namespace

class jpegplugin : public reader::plugin<jpeghandler>
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "jpeg.json")

public:
    jpegplugin()
        : plugin({ "jfif" })
    { }
};

#include "jpeg.moc"
