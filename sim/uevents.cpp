#include "uevents.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <glob.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace sim {

namespace {

// The header libudev puts before the properties of a monitor message.
struct MonitorHeader {
    std::array<char, 8> prefix{'l', 'i', 'b', 'u', 'd', 'e', 'v', '\0'};
    uint32_t magic = htonl(0xfeedcafe);
    uint32_t header_size = sizeof(MonitorHeader);
    uint32_t properties_off = sizeof(MonitorHeader);
    uint32_t properties_len = 0;
    uint32_t filter_subsystem_hash = 0;
    uint32_t filter_devtype_hash = 0;
    uint32_t filter_tag_bloom_hi = 0;
    uint32_t filter_tag_bloom_lo = 0;
};

// libudev's hash of a property value for its socket filter (MurmurHash2, seed: the length).
uint32_t string_hash32(const std::string& text) {
    constexpr uint32_t m = 0x5bd1e995;
    std::size_t length = text.size();
    uint32_t h = static_cast<uint32_t>(length);
    const auto* data = reinterpret_cast<const unsigned char*>(text.data());
    for (; length >= 4; data += 4, length -= 4) {
        uint32_t k = 0;
        std::memcpy(&k, data, sizeof k);
        k *= m;
        k ^= k >> 24;
        k *= m;
        h = h * m ^ k;
    }
    if (length > 0) {
        for (std::size_t i = length; i-- > 0;) {
            h ^= static_cast<uint32_t>(data[i]) << (8 * i);
        }
        h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

// Sends the message to one listener; false when it cannot take it.
bool send_to(const std::string& path, const std::vector<uint8_t>& message) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    bool sent = false;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ECONNREFUSED) {
            unlink(path.c_str()); // its process has ended
        }
    } else {
        // A full queue: the listener is busy; give it up to a second.
        for (int attempt = 0; attempt < 100 && !sent; ++attempt) {
            sent = send(fd, message.data(), message.size(), 0) >= 0;
            if (!sent && errno != EAGAIN) {
                break;
            }
            if (!sent) {
                usleep(10000);
            }
        }
    }
    close(fd);
    return sent;
}

} // namespace

int send_uevent(const std::string& root, Uevent action, const std::string& record) {
    static unsigned long long sequence = 0;
    std::string devpath;
    std::string subsystem;
    std::string devtype;
    std::string properties;
    std::istringstream lines(record);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("P: ", 0) == 0) {
            devpath = line.substr(3);
        } else if (line.rfind("E: ", 0) == 0) {
            const std::string property = line.substr(3);
            if (property.rfind("SUBSYSTEM=", 0) == 0) {
                subsystem = property.substr(10);
            } else {
                devtype = property.rfind("DEVTYPE=", 0) == 0 ? property.substr(8) : devtype;
                properties += property + '\0';
            }
        }
    }
    const std::string head = std::string("ACTION=") + (action == Uevent::add ? "add" : "remove") +
                             '\0' + "DEVPATH=" + devpath + '\0' + "SUBSYSTEM=" + subsystem + '\0' +
                             "SEQNUM=" + std::to_string(++sequence) + '\0';
    MonitorHeader header;
    header.properties_len = static_cast<uint32_t>(head.size() + properties.size());
    header.filter_subsystem_hash = htonl(string_hash32(subsystem));
    header.filter_devtype_hash = devtype.empty() ? 0 : htonl(string_hash32(devtype));
    std::vector<uint8_t> message(sizeof header);
    std::memcpy(message.data(), &header, sizeof header);
    message.insert(message.end(), head.begin(), head.end());
    message.insert(message.end(), properties.begin(), properties.end());

    int reached = 0;
    glob_t found{};
    if (glob((root + "/event[0-9]*").c_str(), GLOB_NOSORT, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; ++i) {
            reached += send_to(found.gl_pathv[i], message) ? 1 : 0;
        }
    }
    globfree(&found);
    return reached;
}

} // namespace sim
