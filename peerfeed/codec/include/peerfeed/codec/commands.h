#pragma once
// The peer commands: a header (version, body length, code) in one of two framings and a
// body per command class.
//
// Noise framing, 21 bytes: noise word (>= 257), code, noise word, version, noise word,
// body length (body bytes only). Plain framing, 9 bytes: version, body length (body bytes
// + 1 for the code), code. The upload server speaks only the noise framing.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "peerfeed/codec/cursor.h"

namespace peerfeed {

enum p2p_cmd_code : std::uint8_t {
    cmd_handshake = 100,
    cmd_handshakeresp = 101,
    cmd_interested = 102,
    cmd_interestedresp = 103,
    cmd_notinterested = 104,
    cmd_keepalive = 105,
    cmd_request = 106,
    cmd_requestresp = 107,
    cmd_cancel = 108,
    cmd_cancelresp = 109,
    cmd_brokerreq = 110,
    cmd_brokercmd = 111,
    cmd_unknowncmd = 112,
    cmd_choke = 113,
    cmd_unchoke = 114,
    cmd_fin = 115,
    cmd_finresp = 116,
    cmd_extradata = 117,
    cmd_extradataresp = 118,
    cmd_cdn_handshake = 121,
    // In a freshly built object: decode takes whatever code it reads.
    cmd_any = 0xFF,
};

inline constexpr std::uint32_t p2p_protocol_version = 82;
inline constexpr std::uint32_t noise_header_size = 21;
inline constexpr std::uint32_t plain_header_size = 9;
// Largest body_length either framing accepts.
inline constexpr std::uint32_t max_body_length = 65534;
// Offsets inside a noise header.
inline constexpr std::size_t noise_code_offset = 4;
inline constexpr std::size_t noise_body_length_offset = 17;

// Writes the 21-byte noise header of a command with `code` whose body (the code byte not
// counted) is `body_length` bytes. For answers whose body is assembled elsewhere, such as
// the cache's page answers; the commands' own encode() writes its header the same way.
void write_noise_header(p2p_cmd_writer& writer, std::uint8_t code, std::uint32_t body_length,
                        std::uint32_t version = p2p_protocol_version);

// "HANDSHAKE", "REQUEST", ...; "UNKNOWN=<code>" for codes without a name.
std::string p2p_cmd_name(std::uint8_t code);

class p2p_cmd_base {
public:
    virtual ~p2p_cmd_base() = default;
};

class p2p_cmd_tcp : public p2p_cmd_base {
public:
    explicit p2p_cmd_tcp(std::uint8_t code = cmd_any) : code(code) {}

    // body_size() + 21 (noise) or + 9 (plain).
    virtual std::uint32_t encoded_size(bool noise) const;
    // `length`: on entry the room in `buffer`, on return the bytes written.
    virtual void encode(std::uint8_t* buffer, std::uint32_t& length, bool noise);
    // Fills the object from one complete command at the start of `buffer`.
    virtual void decode(const std::uint8_t* buffer, std::uint32_t size, bool lenient, bool noise);
    virtual std::string to_string() const;
    virtual void describe(std::string& out) const;
    ~p2p_cmd_tcp() override = default;
    virtual void encode_body(p2p_cmd_writer& writer) const;
    virtual void decode_body(p2p_cmd_reader& reader);
    virtual std::uint32_t body_size() const;
    virtual void describe_body(std::string& out) const;

    std::uint32_t version = p2p_protocol_version;
    std::uint32_t body_length = 0;
    std::uint8_t code;
};

// Six reserved words that close several bodies; built as 0, 0, 0, 0, 0, 0xFFFFFFFF where
// the command sends the marker and all 0 elsewhere.
using ext_word_array = std::array<std::uint32_t, 6>;
inline constexpr ext_word_array ext_words_marked{0, 0, 0, 0, 0, 0xFFFFFFFF};

class p2p_cmd_handshake : public p2p_cmd_tcp {
public:
    p2p_cmd_handshake() : p2p_cmd_tcp(cmd_handshake) {}

    void encode_body(p2p_cmd_writer& writer) const override;
    void decode_body(p2p_cmd_reader& reader) override;
    std::uint32_t body_size() const override;

    std::uint32_t hs_word = 0;
    std::uint8_t hs_byte = 255;
    cid_bytes gcid{};
    std::uint64_t file_size = 0;
    std::uint8_t hs_byte2 = 255;
    std::string peer_id;
    std::string hs_string2;
    std::uint32_t hs_word2 = 0;
    std::uint32_t hs_word3 = 0;
    std::uint64_t hs_long1 = 0;
    std::uint64_t hs_long2 = 0;
    std::uint8_t hs_byte3 = 0;
    ext_word_array ext_words = ext_words_marked;
    std::uint8_t ext_byte = 0;
    std::string hs_string3;
    std::uint32_t hs_word4 = 0;

protected:
    explicit p2p_cmd_handshake(std::uint8_t code) : p2p_cmd_tcp(code) {}
};

// Same body as HANDSHAKE under its own code.
class p2p_cmd_cdn_handshake : public p2p_cmd_handshake {
public:
    p2p_cmd_cdn_handshake() : p2p_cmd_handshake(cmd_cdn_handshake) {}
};

class p2p_cmd_handshakeresp : public p2p_cmd_tcp {
public:
    // The file is available (0) or not (102).
    static constexpr std::uint8_t result_available = 0;
    static constexpr std::uint8_t result_unavailable = 102;

    p2p_cmd_handshakeresp() : p2p_cmd_tcp(cmd_handshakeresp) {}

    void encode_body(p2p_cmd_writer& writer) const override;
    void decode_body(p2p_cmd_reader& reader) override;
    std::uint32_t body_size() const override;

    std::uint8_t result = result_available;
    std::string hr_string1;
    std::uint32_t hr_word = 0;
    std::uint64_t hr_long1 = 0;
    std::uint64_t hr_long2 = 0;
    std::uint8_t hr_byte = 0;
    ext_word_array ext_words = ext_words_marked;
    std::uint8_t ext_byte = 0;
    std::string hr_string2;
};

class p2p_cmd_interested : public p2p_cmd_tcp {
public:
    p2p_cmd_interested() : p2p_cmd_tcp(cmd_interested) {}

    void encode_body(p2p_cmd_writer& writer) const override;
    void decode_body(p2p_cmd_reader& reader) override;
    std::uint32_t body_size() const override { return 9; }

    std::uint8_t in_byte = 255;
    std::uint32_t in_word = 0;
    std::uint32_t in_word2 = 0;
};

class p2p_cmd_interestedresp : public p2p_cmd_tcp {
public:
    p2p_cmd_interestedresp() : p2p_cmd_tcp(cmd_interestedresp) {}

    void encode_body(p2p_cmd_writer& writer) const override;
    // Replaces `ranges` with the ranges read.
    void decode_body(p2p_cmd_reader& reader) override;
    std::uint32_t body_size() const override;

    std::uint8_t completion = 0;
    std::vector<p2p_range> ranges;
};

// A command that has no body: its code is all it says.
template <p2p_cmd_code kCode>
class p2p_cmd_bodiless : public p2p_cmd_tcp {
public:
    p2p_cmd_bodiless() : p2p_cmd_tcp(kCode) {}
};

using p2p_cmd_keepalive1 = p2p_cmd_bodiless<cmd_keepalive>;
using p2p_cmd_cancel = p2p_cmd_bodiless<cmd_cancel>;
using p2p_cmd_cancelresp = p2p_cmd_bodiless<cmd_cancelresp>;

class p2p_cmd_request : public p2p_cmd_tcp {
public:
    p2p_cmd_request() : p2p_cmd_tcp(cmd_request) {}

    void encode_body(p2p_cmd_writer& writer) const override;
    // Throws a bare std::exception when length is 0 or rq_word is outside 1..65535, also
    // when the body ends before those fields (their built zeros are not a valid request).
    void decode_body(p2p_cmd_reader& reader) override;
    std::uint32_t body_size() const override { return 47; }

    std::uint8_t rq_byte = 255;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint32_t rq_word = 0;
    std::uint8_t rq_byte2 = 0;
    ext_word_array ext_words{};
    std::uint8_t ext_byte = 0;

private:
    void check_rules() const;
};

class p2p_cmd_requestresp : public p2p_cmd_tcp {
public:
    static constexpr std::uint32_t max_data_length = 65535;

    // An owning object keeps a private copy of the data; a borrowing one points into a
    // buffer that must outlive it (after decode: the decoded buffer).
    explicit p2p_cmd_requestresp(bool owns_data) : p2p_cmd_tcp(cmd_requestresp), owns_(owns_data) {}
    p2p_cmd_requestresp(const p2p_cmd_requestresp&) = delete;
    p2p_cmd_requestresp& operator=(const p2p_cmd_requestresp&) = delete;

    void encode_body(p2p_cmd_writer& writer) const override;
    void decode_body(p2p_cmd_reader& reader) override;
    std::uint32_t body_size() const override { return 38 + data_length_; }

    // Borrows or copies `size` bytes, per the object's setting.
    void set_data(const std::uint8_t* data, std::uint32_t size);
    const std::uint8_t* data() const { return data_; }
    std::uint32_t data_length() const { return data_length_; }
    bool owns_data() const { return owns_; }

    std::uint8_t result = 0;
    std::uint64_t offset = 0;
    ext_word_array ext_words{};
    std::uint8_t ext_byte = 0;

private:
    bool owns_;
    const std::uint8_t* data_ = nullptr;
    std::uint32_t data_length_ = 0;
    std::vector<std::uint8_t> owned_;
};

// An empty command object for a received code, or null for a code this system has no
// class for. A REQUESTRESP built here owns a copy of its data.
std::unique_ptr<p2p_cmd_tcp> make_p2p_cmd(std::uint8_t code);

// Finding command boundaries in a noise-framed byte stream without decoding them.
enum class frame_status { incomplete, complete, invalid };
struct frame_scan {
    frame_status status = frame_status::incomplete;
    std::uint32_t total_size = 0;  // header + body, when the header is complete
    std::uint8_t code = 0;
};
// Looks at the first `size` bytes of a stream: incomplete until a whole header is there;
// invalid at once when the header announces a body above max_body_length; complete when
// the whole command is there.
frame_scan scan_noise_frame(const std::uint8_t* data, std::size_t size);

}  // namespace peerfeed
