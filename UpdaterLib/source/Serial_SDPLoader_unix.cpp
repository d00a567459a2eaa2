#include "UpdaterLib/source/Serial_SDPLoader_unix.h"

#include "device/core/kLog.h"
#include "device/core/kTime.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace
{

const uint64_t WRITE_RETRY_MS = 1;
// How long a write may make no progress before the line counts as dead.
const uint64_t WRITE_STALL_MS = 2000;
const uint64_t SETTLE_MS = 1000;
const size_t STATUS_SIZE = 4;
// The security status and one data word: what every command used here gets.
const size_t ANSWER_SIZE = STATUS_SIZE + 4;
// However long the caller waits, one answer takes no longer.
const uint64_t ANSWER_LIMIT_MS = 2000;

bool _is_transient(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// False when no byte comes within `waitMS` or the line has gone.
// The run's cancellation ends the wait too.
struct BytePoll {
    struct pollfd entry;
    int ready;
};

bool _poll_part(uint32_t ms, void* reference)
{
    BytePoll* state = (BytePoll*)reference;
    state->ready = poll(&state->entry, 1, (int)ms);
    return state->ready != 0;
}

bool _await_byte(int fd, uint64_t waitMS, const kCancel* cancel)
{
    BytePoll polled = {{fd, POLLIN, 0}, 0};
    return kCancel_Wait(cancel, waitMS, _poll_part, &polled) == kErrNone && polled.ready == 1 &&
           (polled.entry.revents & POLLIN) != 0;
}

} // namespace

class PrivateSerial_SDPLoader
{
public:
    explicit PrivateSerial_SDPLoader(const char* devicePath) : path(devicePath) {}

    bool configure();
    void close();

    int fd = -1;
    const char* path;
    struct termios attributes {
    };
};

bool PrivateSerial_SDPLoader::configure()
{
    if (tcgetattr(fd, &attributes) != 0)
        return false;
    cfsetispeed(&attributes, B115200);
    cfsetospeed(&attributes, B115200);
    attributes.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB | CRTSCTS);
    attributes.c_cflag |= CS8 | CREAD | CLOCAL;
    attributes.c_iflag = 0;
    attributes.c_oflag = 0;
    attributes.c_lflag = 0;
    attributes.c_cc[VMIN] = 0;
    attributes.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSAFLUSH, &attributes) != 0)
        return false;
    // The adapter may still deliver bytes from before the switch.
    kTime_MSSleep(SETTLE_MS);
    tcflush(fd, TCIOFLUSH);
    return true;
}

void PrivateSerial_SDPLoader::close()
{
    if (fd < 0)
        return;
    tcflush(fd, TCIOFLUSH);
    ::close(fd);
    fd = -1;
}

Serial_SDPLoader::Serial_SDPLoader(const char* devicePath)
    : d(new PrivateSerial_SDPLoader(devicePath))
{
}

Serial_SDPLoader::~Serial_SDPLoader()
{
    d->close();
    delete d;
}

bool Serial_SDPLoader::init()
{
    if (d->fd >= 0)
        return true;
    if (!d->path)
        return false;
    d->fd = open(d->path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (d->fd < 0) {
        Log::log(DEBUG_iMXSerial, "Could not open %s: %s\n", d->path, strerror(errno));
        return false;
    }
    if (!isatty(d->fd) || !d->configure()) {
        Log::log(DEBUG_iMXSerial, "%s is no usable terminal: %s\n", d->path, strerror(errno));
        ::close(d->fd);
        d->fd = -1;
        return false;
    }
    return true;
}

ssize_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& packet)
{
    if (d->fd < 0)
        return -1;
    if (packet.size() < 2)
        return 0;
    const uint8_t* bytes = packet.data() + 1;
    size_t left = packet.size() - 1;
    size_t sent = 0;
    uint64_t lastProgress = kTime_GetMSTicks();
    while (sent < left) {
        ssize_t n = write(d->fd, bytes + sent, left - sent);
        if (n > 0) {
            sent += (size_t)n;
            lastProgress = kTime_GetMSTicks();
            continue;
        }
        if (n < 0 && !_is_transient(errno)) {
            Log::log(DEBUG_iMXSerial, "Serial write failed: %s\n", strerror(errno));
            return -1;
        }
        if (kTime_GetMSTicks() - lastProgress >= WRITE_STALL_MS) {
            Log::log(DEBUG_iMXSerial, "Serial write stalled, %zu of %zu bytes sent\n", sent, left);
            return -1;
        }
        kTime_MSSleep(WRITE_RETRY_MS);
    }
    return (ssize_t)sent;
}

ssize_t Serial_SDPLoader::readData(std::vector<uint8_t>& buffer, uint32_t timeoutMs)
{
    if (d->fd < 0)
        return 0;
    uint64_t deadline =
        kTime_GetMSTicks() + (timeoutMs < ANSWER_LIMIT_MS ? timeoutMs : ANSWER_LIMIT_MS);
    // A line that keeps talking ends the answer all the same; what is left
    // waits for the next read.
    size_t appended = 0;
    bool woken = false;
    uint8_t byte;
    while (appended < ANSWER_SIZE) {
        ssize_t got = read(d->fd, &byte, 1);
        if (got == 1) {
            buffer.push_back(byte);
            appended++;
            woken = false;
            continue;
        }
        // A line that says it has a byte and then gives none has gone.
        if (woken || (got < 0 && !_is_transient(errno)))
            break;
        uint64_t now = kTime_GetMSTicks();
        if (now >= deadline || !_await_byte(d->fd, deadline - now, cancel))
            break;
        woken = true;
    }
    return (ssize_t)appended;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& answer, uint32_t offset,
                                         uint32_t& word)
{
    size_t at = STATUS_SIZE + (size_t)offset;
    if (answer.size() < at + 4)
        return false;
    word |= (uint32_t)answer[at] | (uint32_t)answer[at + 1] << 8 | (uint32_t)answer[at + 2] << 16 |
            (uint32_t)answer[at + 3] << 24;
    return true;
}
