#include "wire_response.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <string>

#include "http_response.h"
#include "platform/app_paths.h"
#include "platform/whole_transfer.h"

namespace catalogd {
namespace {

bool write_all(int file, std::initializer_list<std::span<const std::uint8_t>> parts) {
    for (std::span<const std::uint8_t> bytes : parts) {
        const bool whole = platform::transfer_whole(bytes.size(), [&](std::size_t done) {
            return ::write(file, bytes.data() + done, bytes.size() - done);
        });
        if (!whole) {
            return false;
        }
    }
    return true;
}

// An unnamed file in the temporary folder holding `parts`, opened for reading only; -1 when
// none can be made. Disk file systems keep their cached pages in large folios, which
// sendfile() walks in a fraction of the time it takes over a memory file's single pages.
int make_unnamed_file(std::initializer_list<std::span<const std::uint8_t>> parts) {
    int writable = ::open(platform::temp_folder().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (writable < 0) {
        return -1;
    }
    int readable = -1;
    if (write_all(writable, parts)) {
        // Reopened read-only through its descriptor: what is sent cannot be changed through it.
        readable =
            ::open(("/proc/self/fd/" + std::to_string(writable)).c_str(), O_RDONLY | O_CLOEXEC);
    }
    ::close(writable);
    return readable;
}

// A memory file holding `parts` one after the other, sealed against every change; -1 when
// it cannot be made.
int make_sealed_file(std::initializer_list<std::span<const std::uint8_t>> parts) {
    int file = ::memfd_create("catalogd-response", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (file < 0) {
        return -1;
    }
    if (!write_all(file, parts) ||
        ::fcntl(file, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        ::close(file);
        return -1;
    }
    return file;
}

void append(std::vector<std::uint8_t>& into, std::string_view text) {
    into.insert(into.end(), text.begin(), text.end());
}

}  // namespace

SharedResponse WireResponse::in_memory(std::string_view status,
                                       std::span<const std::uint8_t> body) {
    std::shared_ptr<WireResponse> response(new WireResponse);
    std::string header = response_header(status, body.size());
    response->bytes_.reserve(header.size() + body.size());
    append(response->bytes_, header);
    response->bytes_.insert(response->bytes_.end(), body.begin(), body.end());
    return response;
}

SharedResponse WireResponse::in_file(std::string_view status, std::span<const std::uint8_t> body) {
    if (body.empty()) {
        return in_memory(status, body);
    }
    // The header goes into the file too: the whole answer leaves in one sendfile() call
    // instead of a send() and a sendfile(), each with packets of its own.
    std::string header = response_header(status, body.size());
    std::span<const std::uint8_t> header_bytes(reinterpret_cast<const std::uint8_t*>(header.data()),
                                               header.size());
    int file = make_unnamed_file({header_bytes, body});
    if (file < 0) {
        file = make_sealed_file({header_bytes, body});
    }
    if (file < 0) {
        return in_memory(status, body);
    }
    std::shared_ptr<WireResponse> response(new WireResponse);
    response->file_.reset(file);
    response->file_size_ = header.size() + body.size();
    return response;
}

ResponseSender::Progress ResponseSender::send_some(int socket) {
    if (response_ == nullptr) {
        return Progress::done;
    }
    Progress progress = send_bytes(socket);
    if (progress == Progress::done) {
        progress = send_file(socket);
    }
    if (progress == Progress::done) {
        response_.reset();
    }
    return progress;
}

ResponseSender::Progress ResponseSender::send_bytes(int socket) {
    const std::vector<std::uint8_t>& bytes = response_->bytes_;
    while (bytes_sent_ < bytes.size()) {
        ssize_t sent = ::send(socket, bytes.data() + bytes_sent_, bytes.size() - bytes_sent_,
                              MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK ? Progress::blocked : Progress::failed;
        }
        bytes_sent_ += static_cast<std::size_t>(sent);
        if (bytes_sent_ < bytes.size()) {
            return Progress::blocked;  // a short send means the socket buffer is full
        }
    }
    return Progress::done;
}

ResponseSender::Progress ResponseSender::send_file(int socket) {
    // Large enough that one call can fill any socket buffer.
    constexpr std::uint64_t kChunk = std::uint64_t{1} << 30;
    while (file_sent_ < response_->file_size_) {
        off_t offset = static_cast<off_t>(file_sent_);
        ssize_t sent = ::sendfile(socket, response_->file_.get(), &offset,
                                  std::min(kChunk, response_->file_size_ - file_sent_));
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK ? Progress::blocked : Progress::failed;
        }
        if (sent == 0) {
            return Progress::failed;  // the file cannot shrink; never expected
        }
        file_sent_ += static_cast<std::uint64_t>(sent);
        if (file_sent_ < response_->file_size_) {
            return Progress::blocked;  // short: the socket buffer is full
        }
    }
    return Progress::done;
}

}  // namespace catalogd
