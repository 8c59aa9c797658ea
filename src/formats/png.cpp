// PNG pictures, read with libpng's progressive reader as the file's bytes come: each row is
// averaged into the picture at the size asked as soon as it is decoded, so that only the picture
// at that size is held, and the rows still being averaged. Bit depths, palettes, transparency,
// grey and interlacing come out as the toolkit's own reader gives them, and so do the colours its
// chunks describe (iCCP, sRGB, gAMA with cHRM), besides cICP, which it does not read.
//
// libpng rather than libspng: the toolkit already links libpng, so reading a PNG loads nothing
// more, and its progressive reader hands over each row, of each interlaced pass, as it comes.

#include "colour.h"
#include "kinds.h"
#include "parallel.h"
#include "pixels.h"
#include "profiles.h"
#include "reader.h"

#include <QIODevice>
#include <QImageIOPlugin>
#include <array>
#include <csetjmp>
#include <cstring>
#include <optional>
#include <png.h>
#include <vector>

namespace {

// The file is read in pieces of this many bytes.
constexpr qint64 piece = 64 * 1024;
// Pictures of this many pixels and more are gathered on a second core.
constexpr qint64 apart = 2 << 20;

class pnghandler : public reader::handler
{
public:
    pnghandler()
        : handler("png", recognises)
    { }
    ~pnghandler() override;
    bool readimage(QImage *image) override;
    static bool recognises(QIODevice *device);

protected:
    bool readheader() override;

private:
    static void headed(png_structp png, png_infop info);
    static void decoded(png_structp png, png_bytep row, png_uint_32 number, int pass);
    static void ended(png_structp png, png_infop info);
    static int chunk(png_structp png, png_unknown_chunkp chunk);
    [[noreturn]] static void failed(png_structp png, png_const_charp message);
    static void warned(png_structp png, png_const_charp message);
    static void fillpalette(png_structp png, png_infop info, int depth);
    void gather(int y, int x, int count, int across, const void *samples, bool wide);
    bool feed(const char *bytes, qint64 size);
    bool feedrest();
    QByteArrayView profile() const;
    QColorSpace colourspace() const;

    png_structp png = nullptr;
    png_infop info = nullptr;
    QByteArray pending; // bytes read but not yet taken, when libpng paused after the header
    size_t left = 0; // of the bytes it was last given, those libpng did not take
    bool headerread = false; // libpng has read everything before the pixels
    bool refused = false; // and found a picture over the decoding limit, or a damaged stream
    bool done = false; // and the pixels, to the end
    qint64 received = 0; // rows of the picture, or of its passes, decoded
    bool interlaced = false;
    int channels = 0;
    std::optional<pixels::gatherer> into;
    std::optional<conveyor> rows; // the decoded rows, gathered on a second core
    std::vector<unsigned char> scratch;
    std::optional<std::array<int, 4>> cicp; // primaries, transfer, matrix, full range
};

// libpng reports errors by jumping back to where it was called: a function of its own, so that
// nothing with a destructor is left between.
bool pushed(png_structp png, png_infop info, const char *bytes, size_t size)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_process_data(png, info, reinterpret_cast<png_bytep>(const_cast<char *>(bytes)), size);
    return true;
}

pnghandler::~pnghandler()
{
    if (png)
        png_destroy_read_struct(&png, &info, nullptr);
}

bool pnghandler::recognises(QIODevice *device)
{
    return startsas(*device, "png");
}

// The header read, the picture is allowed before anything else is done; libpng is paused there,
// and then made to hand rows over as the picture asks them: eight or sixteen bits a channel in the
// machine's order, palettes and small greys widened, transparency as alpha.
void pnghandler::headed(png_structp png, png_infop info)
{
    auto *self = static_cast<pnghandler *>(png_get_progressive_ptr(png));
    png_uint_32 width = 0, height = 0;
    int depth = 0, type = 0, interlace = 0;
    png_get_IHDR(png, info, &width, &height, &depth, &type, &interlace, nullptr, nullptr);
    if (width > INT_MAX || height > INT_MAX || !pixels::allowed(QSize(int(width), int(height)))) {
        self->refused = true;
        self->left = png_process_data_pause(png, 0);
        return;
    }
    self->whole = QSize(int(width), int(height));
    self->interlaced = interlace != PNG_INTERLACE_NONE;
    if (type == PNG_COLOR_TYPE_PALETTE)
        fillpalette(png, info, depth);
    png_set_expand(png);
    if (depth == 16 && QSysInfo::ByteOrder == QSysInfo::LittleEndian)
        png_set_swap(png);
    png_read_update_info(png, info);
    self->channels = png_get_channels(png, info);
    self->headerread = true;
    self->left = png_process_data_pause(png, 0);
}

// A palette shorter than its indices reach is filled as the toolkit's reader shows an index past
// it: as the first colour, with its transparency; in a picture of one bit, as white.
void pnghandler::fillpalette(png_structp png, png_infop info, int depth)
{
    png_colorp palette = nullptr;
    int colours = 0;
    png_bytep alpha = nullptr;
    int alphas = 0;
    png_color_16p key = nullptr;
    const int reach = 1 << depth;
    if (!png_get_PLTE(png, info, &palette, &colours) || colours <= 0 || colours >= reach)
        return;
    const bool seen = png_get_tRNS(png, info, &alpha, &alphas, &key) && alphas > 0;
    std::vector<png_color> filled(palette, palette + colours);
    filled.resize(size_t(reach), depth == 1 ? png_color { 255, 255, 255 } : palette[0]);
    if (seen) {
        std::vector<png_byte> see(size_t(reach), depth == 1 ? 255 : alpha[0]);
        for (int i = 0; i < colours; ++i)
            see[size_t(i)] = seen && i < alphas ? alpha[i] : 255;
        png_set_tRNS(png, info, see.data(), reach, nullptr);
    }
    png_set_PLTE(png, info, filled.data(), reach);
}

// A row of the picture, or of one of the interlaced passes, whose pixels lie that many columns
// apart in the picture.
void pnghandler::decoded(png_structp png, png_bytep row, png_uint_32 number, int pass)
{
    auto *self = static_cast<pnghandler *>(png_get_progressive_ptr(png));
    if (!row || !self->into)
        return;
    ++self->received;
    int y = int(number), x = 0, across = 1;
    int count = self->whole.width();
    if (self->interlaced) {
        y = int(PNG_ROW_FROM_PASS_ROW(number, pass));
        x = int(PNG_PASS_START_COL(pass));
        across = 1 << PNG_PASS_COL_SHIFT(pass);
        count = int(PNG_PASS_COLS(png_uint_32(self->whole.width()), pass));
    }
    const bool wide = png_get_bit_depth(png, self->info) == 16;
    if (!self->rows) {
        self->gather(y, x, count, across, row, wide);
        return;
    }
    // Where the row goes, then its samples.
    const int place[] = { y, x, count, across };
    const size_t bytes = size_t(count) * size_t(self->channels) * (wide ? 2 : 1);
    self->scratch.resize(sizeof place + bytes);
    std::memcpy(self->scratch.data(), place, sizeof place);
    std::memcpy(self->scratch.data() + sizeof place, row, bytes);
    self->rows->hand(self->scratch.data(), self->scratch.size());
}

// Row samples gathered into the picture, which lie that many columns apart.
void pnghandler::gather(int y, int x, int count, int across, const void *samples, bool wide)
{
    if (wide)
        into->addpixels(y, x, count, static_cast<const quint16 *>(samples), channels, across);
    else
        into->addpixels(y, x, count, static_cast<const unsigned char *>(samples), channels, across);
}

// A broken file fails quietly, as any picture that does not decode.
void pnghandler::failed(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

// libpng reads a damaged or cut compressed stream after the last row as a warning; the toolkit's
// reader, which reads to the end, fails such a file, and so does this one.
void pnghandler::warned(png_structp png, png_const_charp message)
{
    if (std::strstr(message, "IDAT") || std::strstr(message, "ADLER32"))
        static_cast<pnghandler *>(png_get_error_ptr(png))->refused = true;
}

// The end of the file, which the toolkit's reader fails if it came before every row.
void pnghandler::ended(png_structp png, png_infop)
{
    auto *self = static_cast<pnghandler *>(png_get_progressive_ptr(png));
    qint64 rows = self->whole.height();
    if (self->interlaced) {
        rows = 0;
        for (int pass = 0; pass < 7; ++pass)
            if (PNG_PASS_COLS(png_uint_32(self->whole.width()), pass) > 0)
                rows += PNG_PASS_ROWS(png_uint_32(self->whole.height()), pass);
    }
    self->done = true;
    self->refused = self->refused || self->received < rows;
}

// The coding-independent code points (cICP), which say the picture's colours before any profile.
int pnghandler::chunk(png_structp png, png_unknown_chunkp chunk)
{
    auto *self = static_cast<pnghandler *>(png_get_user_chunk_ptr(png));
    if (qstrncmp(reinterpret_cast<const char *>(chunk->name), "cICP", 4) == 0 && chunk->size == 4)
        self->cicp
            = std::array<int, 4> { chunk->data[0], chunk->data[1], chunk->data[2], chunk->data[3] };
    return 1;
}

// Gives libpng the bytes; those it leaves when it pauses after the header are kept for later.
bool pnghandler::feed(const char *bytes, qint64 size)
{
    left = 0;
    if (!pushed(png, info, bytes, size_t(size)))
        return false;
    if (left > 0)
        pending = QByteArray(bytes + size - qint64(left), qint64(left));
    return !refused;
}

bool pnghandler::readheader()
{
    if (!device())
        return false;
    png = png_create_read_struct(PNG_LIBPNG_VER_STRING, this, failed, warned);
    info = png ? png_create_info_struct(png) : nullptr;
    if (!info)
        return false;
    png_set_progressive_read_fn(png, this, headed, decoded, ended);
    const png_byte wanted[] = { 'c', 'I', 'C', 'P', 0 };
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, wanted, 1);
    png_set_read_user_chunk_fn(png, this, chunk);
    // libpng's own bounds: the decoding limit's side, and chunks of the size a profile may have.
    png_set_user_limits(png, 1 << 20, 1 << 20);
    png_set_chunk_malloc_max(png, 16 << 20);
    qint64 read = 0;
    while (!headerread && read <= reader::filelimit) {
        const QByteArray bytes = device()->read(piece);
        if (bytes.isEmpty() || !feed(bytes.constData(), bytes.size()))
            return false;
        read += bytes.size();
    }
    return headerread;
}

bool pnghandler::feedrest()
{
    if (!pending.isEmpty() && !feed(pending.constData(), pending.size()))
        return false;
    pending.clear();
    // The bytes pass through a piece at a time, none held: the picture's own limit bounds them.
    while (!done) {
        const QByteArray bytes = device()->read(piece);
        if (bytes.isEmpty() || !feed(bytes.constData(), bytes.size()))
            return false;
    }
    return true;
}

QByteArrayView pnghandler::profile() const
{
    png_charp name = nullptr;
    int compression = 0;
    png_bytep icc = nullptr;
    png_uint_32 length = 0;
    if (!png_get_valid(png, info, PNG_INFO_iCCP)
        || !png_get_iCCP(png, info, &name, &compression, &icc, &length))
        return QByteArrayView();
    return QByteArrayView(icc, qsizetype(length));
}

// Where the profile is none that can be used: sRGB, else gamma with the primaries; the
// coding-independent code points come before all, as the format says.
QColorSpace pnghandler::colourspace() const
{
    if (cicp)
        return colour::coded((*cicp)[0], (*cicp)[1]);
    int intent = -1;
    if (png_get_valid(png, info, PNG_INFO_sRGB) && png_get_sRGB(png, info, &intent) && intent >= 0
        && intent <= 3)
        return QColorSpace::SRgb;
    double gamma = 0;
    if (png_get_valid(png, info, PNG_INFO_gAMA) && png_get_gAMA(png, info, &gamma) && gamma > 0) {
        double white[2], red[2], green[2], blue[2];
        if (png_get_valid(png, info, PNG_INFO_cHRM)
            && png_get_cHRM(png, info, &white[0], &white[1], &red[0], &red[1], &green[0], &green[1],
                &blue[0], &blue[1])) {
            const QColorSpace space(QPointF(white[0], white[1]), QPointF(red[0], red[1]),
                QPointF(green[0], green[1]), QPointF(blue[0], blue[1]),
                QColorSpace::TransferFunction::Gamma, float(1 / gamma));
            if (space.isValid())
                return space;
        }
        return QColorSpace(
            QColorSpace::Primaries::SRgb, QColorSpace::TransferFunction::Gamma, float(1 / gamma));
    }
    return QColorSpace();
}

bool pnghandler::readimage(QImage *image)
{
    if (!header() || into)
        return false;
    pixels::meaning samples;
    const bool grey = channels <= 2;
    samples.kind = grey ? pixels::model::grey : pixels::model::rgb;
    samples.alpha = channels == 2 || channels == 4;
    const int bits = png_get_bit_depth(png, info) == 16 ? 16 : 8;
    samples.wide = bits == 16;
    if (cicp) {
        samples.light = colour::lightof((*cicp)[1]);
        samples.full = (*cicp)[3] != 0;
    }
    into.emplace(wanted(), samples, QList<pixels::gatherer::grid>(channels, { whole, bits }));
    if (!into->valid())
        return false;
    // A large picture's rows are gathered on a second core while libpng decodes the next; a
    // small one's as they come, leaving that core to the window being made meanwhile.
    if (qint64(whole.width()) * whole.height() >= apart)
        rows.emplace(
            [this, wide = samples.wide](const std::vector<unsigned char> &piece) {
                int place[4];
                std::memcpy(place, piece.data(), sizeof place);
                gather(place[0], place[1], place[2], place[3], piece.data() + sizeof place, wide);
            },
            64);
    const bool complete = feedrest();
    rows.reset();
    if (!complete)
        return false;
    QImage made = into->finish();
    if (cicp || !profiles::tosrgb(made, profile()))
        made.setColorSpace(colourspace());
    return deliver(std::move(made), image);
}

} // namespace

class pngplugin : public reader::plugin<pnghandler>
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "png.json")

public:
    pngplugin()
        : plugin({ "png" })
    { }
};

#include "png.moc"
