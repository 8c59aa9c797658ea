#include "channel.h"

#include "formats/handover.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace channel {

namespace {

constexpr int seals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;
// No picture the decoders send is wider or taller than this, or larger than the decoding limit.
constexpr qint32 widest = 1 << 20;
constexpr qint64 largest = qint64(1) << 30;

bool writeall(int descriptor, const uchar *data, qint64 size)
{
    while (size > 0) {
        const ssize_t wrote = ::write(descriptor, data, std::size_t(qMin<qint64>(size, 1 << 30)));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        data += wrote;
        size -= wrote;
    }
    return true;
}

// Whether pixels of this format can be taken as they lie: whole bytes, no colour table.
bool plainformat(qint32 format)
{
    if (format <= QImage::Format_Invalid || format >= QImage::NImageFormats)
        return false;
    const QPixelFormat pixel = QImage::toPixelFormat(QImage::Format(format));
    return pixel.bitsPerPixel() >= 8 && pixel.colorModel() != QPixelFormat::Indexed;
}

struct mapping
{
    void *at;
    std::size_t length;
};

void release(void *info)
{
    auto *mapped = static_cast<mapping *>(info);
    ::munmap(mapped->at, mapped->length);
    delete mapped;
}

int newpixelfile()
{
    return ::memfd_create("pixels", MFD_CLOEXEC | MFD_ALLOW_SEALING);
}

// Pictures made in memory files, from the reader's first row until the picture is let go.
struct made
{
    void *at;
    std::size_t length;
    int descriptor;
    bool sealed; // sealed and handed over at least once
    bool mapped; // still mapped where it was made
};

std::atomic_bool sharing = false;
std::mutex madelock;
std::vector<made> madeinfiles;

std::vector<made>::iterator madeat(const void *at)
{
    return std::find_if(
        madeinfiles.begin(), madeinfiles.end(), [&](const made &m) { return m.at == at; });
}

// The file can be sealed against writing only once no shared writable mapping of it is left: the
// decoder's becomes a private one, at the same place, still its own to read, and to change in
// pages of its own should a reader write to it again.
int handover(made &picture)
{
    if (!picture.sealed) {
        if (::mmap(picture.at, picture.length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED,
                picture.descriptor, 0)
            == MAP_FAILED) {
            picture.mapped = false;
            return -1;
        }
        if (::fcntl(picture.descriptor, F_ADD_SEALS, seals) != 0)
            return -1;
        picture.sealed = true;
    }
    return ::fcntl(picture.descriptor, F_DUPFD_CLOEXEC, 0);
}

} // namespace

void sharepixels()
{
    sharing = true;
}

extern "C" void *porvane_takepixels(std::size_t length)
{
    if (!sharing || length == 0)
        return nullptr;
    const int memory = newpixelfile();
    if (memory < 0)
        return nullptr;
    // The reader writes every row: the pages are made here in one call, not a fault at a time.
    void *at = ::ftruncate(memory, off_t(length)) == 0
        ? ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, memory, 0)
        : MAP_FAILED;
    if (at == MAP_FAILED) {
        ::close(memory);
        return nullptr;
    }
    const std::lock_guard<std::mutex> hold(madelock);
    madeinfiles.push_back({ at, length, memory, false, true });
    return at;
}

extern "C" void porvane_givepixels(void *at)
{
    const std::lock_guard<std::mutex> hold(madelock);
    const auto picture = madeat(at);
    if (picture == madeinfiles.end())
        return;
    if (picture->mapped)
        ::munmap(picture->at, picture->length);
    ::close(picture->descriptor);
    madeinfiles.erase(picture);
}

bool send(int socket, const void *data, std::size_t size, int descriptor)
{
    iovec part { const_cast<void *>(data), size };
    msghdr message {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (descriptor >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &descriptor, sizeof(int));
    }
    ssize_t sent;
    do
        sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == ssize_t(size);
}

bool receive(int socket, void *data, std::size_t size, int *descriptor, int ms)
{
    *descriptor = -1;
    pollfd ready { socket, POLLIN, 0 };
    int polled;
    do
        polled = ::poll(&ready, 1, ms);
    while (polled < 0 && errno == EINTR);
    if (polled <= 0)
        return false;
    iovec part { data, size };
    msghdr message {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do
        got = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); got >= 0 && header;
         header = CMSG_NXTHDR(&message, header))
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS
            && header->cmsg_len == CMSG_LEN(sizeof(int)))
            std::memcpy(descriptor, CMSG_DATA(header), sizeof(int));
    const bool whole = got == ssize_t(size) && !(message.msg_flags & (MSG_TRUNC | MSG_CTRUNC));
    if (!whole && *descriptor >= 0) {
        ::close(*descriptor);
        *descriptor = -1;
    }
    return whole;
}

int pixelsout(const QImage &image)
{
    {
        const std::lock_guard<std::mutex> hold(madelock);
        const auto picture = madeat(image.constBits());
        if (picture != madeinfiles.end() && image.sizeInBytes() <= qint64(picture->length))
            return handover(*picture);
    }
    const int memory = newpixelfile();
    if (memory < 0)
        return -1;
    if (writeall(memory, image.constBits(), image.sizeInBytes())
        && ::fcntl(memory, F_ADD_SEALS, seals) == 0)
        return memory;
    ::close(memory);
    return -1;
}

QImage pixelsin(int descriptor, const reply &said)
{
    struct stat status;
    // Anything but a memory file (a file on disk could be cut short under the mapping) has no
    // seals to tell.
    const int sealed = descriptor >= 0 ? ::fcntl(descriptor, F_GET_SEALS) : -1;
    const bool sound = sealed >= 0 && (sealed & seals) == seals && ::fstat(descriptor, &status) == 0
        && plainformat(said.format) && said.width > 0 && said.height > 0 && said.width <= widest
        && said.height <= widest && said.stride % 4 == 0
        && qint64(said.stride) * 8 >= qint64(said.width)
                * QImage::toPixelFormat(QImage::Format(said.format)).bitsPerPixel()
        && qint64(said.stride) * said.height <= qMin<qint64>(status.st_size, largest);
    const std::size_t length = sound ? std::size_t(said.stride) * std::size_t(said.height) : 0;
    // Mapped as drawing reaches it: the pages are there already and come many to a fault, and a
    // picture decoded finer for a zoom is drawn only in part.
    void *at = sound ? ::mmap(nullptr, length, PROT_READ, MAP_SHARED, descriptor, 0) : MAP_FAILED;
    if (descriptor >= 0)
        ::close(descriptor);
    if (at == MAP_FAILED)
        return QImage();
    return QImage(static_cast<const uchar *>(at), said.width, said.height, said.stride,
        QImage::Format(said.format), release, new mapping { at, length });
}

} // namespace channel
