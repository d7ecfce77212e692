#include "peerfeed/codec/commands.h"

#include <cstring>
#include <random>

namespace peerfeed {
namespace {

// The product of two pseudo-random values from 0 to 32767: the spread of the noise words
// peers expect. Each thread draws from its own generator.
std::uint32_t noise_word() {
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<std::uint32_t> value(0, 32767);
    return value(generator) * value(generator);
}

// The first noise word is at least 257, so a noise header never starts like a plain one
// (whose first word is the version).
std::uint32_t leading_noise_word() {
    const std::uint32_t word = noise_word();
    return word < 257 ? word + 257 : word;
}

std::uint32_t load_u32(const std::uint8_t* in) {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

void write_ext_words(p2p_cmd_writer& writer, const ext_word_array& words) {
    for (std::uint32_t word : words) {
        writer.write_uint32(word);
    }
}

void read_ext_words(p2p_cmd_reader& reader, ext_word_array& words) {
    for (std::uint32_t& word : words) {
        reader.read_uint32(word);
    }
}

std::uint32_t string_bytes(const std::string& text) {
    return static_cast<std::uint32_t>(text.size());
}

}  // namespace

std::string p2p_cmd_name(std::uint8_t code) {
    static constexpr const char* names[] = {
        "HANDSHAKE", "HANDSHAKERESP", "INTERESTED",  "INTERESTEDRESP", "NOTINTERESTED",
        "KEEPALIVE", "REQUEST",       "REQUESTRESP", "CANCEL",         "CANCELRESP",
        "BROKERREQ", "BROKERCMD",     "UNKNOWNCMD",  "CHOKE",          "UNCHOKE",
        "FIN",       "FINRESP",       "EXTRADATA",   "EXTRADATARESP",
    };
    if (code >= cmd_handshake && code <= cmd_extradataresp) {
        return names[code - cmd_handshake];
    }
    if (code == cmd_cdn_handshake) {
        return "CDN_HANDSHAKE";
    }
    return "UNKNOWN=" + std::to_string(code);
}

void write_noise_header(p2p_cmd_writer& writer, std::uint8_t code, std::uint32_t body_length,
                        std::uint32_t version) {
    writer.write_uint32(leading_noise_word())
        .write_uint8(code)
        .write_uint32(noise_word())
        .write_uint32(version)
        .write_uint32(noise_word())
        .write_uint32(body_length);
}

// --- p2p_cmd_tcp ---

std::uint32_t p2p_cmd_tcp::encoded_size(bool noise) const {
    return body_size() + (noise ? noise_header_size : plain_header_size);
}

void p2p_cmd_tcp::encode(std::uint8_t* buffer, std::uint32_t& length, bool noise) {
    const std::uint32_t size = encoded_size(noise);
    if (length < size) {
        throw p2p_cmd_exception(
            "Not enough space to encode command. Comamnd length is: " + std::to_string(size) +
            "; Buffer length is: " + std::to_string(length));
    }
    body_length = size - (noise ? noise_header_size : plain_header_size - 1);
    p2p_cmd_writer writer(buffer, length);
    if (noise) {
        write_noise_header(writer, code, body_length, version);
    } else {
        writer.write_uint32(version).write_uint32(body_length).write_uint8(code);
    }
    encode_body(writer);
    length = static_cast<std::uint32_t>(writer.written());
}

void p2p_cmd_tcp::decode(const std::uint8_t* buffer, std::uint32_t size, bool lenient, bool noise) {
    const std::uint32_t header_size = noise ? noise_header_size : plain_header_size;
    if (size < header_size) {
        throw p2p_cmd_exception("p2p_cmd_tcp::decode buff_size " + std::to_string(size) +
                                " is not enough for header!");
    }
    p2p_cmd_reader header(buffer, header_size);
    std::uint32_t noise_value = 0;
    std::uint32_t read_version = 0;
    std::uint32_t read_body_length = 0;
    std::uint8_t read_code = 0;
    if (noise) {
        header.read_uint32(noise_value)
            .read_uint8(read_code)
            .read_uint32(noise_value)
            .read_uint32(read_version)
            .read_uint32(noise_value)
            .read_uint32(read_body_length);
    } else {
        header.read_uint32(read_version).read_uint32(read_body_length).read_uint8(read_code);
    }
    if ((!noise && read_body_length == 0) || read_body_length > max_body_length) {
        throw p2p_cmd_exception("p2p_cmd_tcp::decode bodylen[" + std::to_string(read_body_length) +
                                "] is invalid.");
    }
    // The plain body_length counts the code byte, which is part of the 9-byte header.
    const std::uint32_t whole_size =
        read_body_length + (noise ? noise_header_size : plain_header_size - 1);
    if (!lenient && size < whole_size) {
        throw p2p_cmd_exception("p2p_cmd_tcp::decode buff_size " + std::to_string(size) +
                                " is not enough for whole command!");
    }
    if (code == cmd_any) {
        code = read_code;
    } else if (code != read_code) {
        throw p2p_cmd_exception("p2p_cmd_old::decode should decode " + p2p_cmd_name(code) +
                                "but decode cmd =[" + p2p_cmd_name(read_code) + "].");
    }
    version = read_version;
    body_length = read_body_length;

    const std::uint32_t body_end = size < whole_size ? size : whole_size;
    p2p_cmd_reader body(buffer + header_size, body_end - header_size);
    try {
        decode_body(body);
    } catch (const p2p_cmd_exception_insufficient_read&) {
        // A sender may omit trailing fields: those not reached keep their built values.
    }
}

std::string p2p_cmd_tcp::to_string() const {
    std::string text;
    describe(text);
    return text;
}

void p2p_cmd_tcp::describe(std::string& out) const {
    out.clear();
    out += "Version: " + std::to_string(version) + "\r\n";
    out += "Cmd name: " + p2p_cmd_name(code) + "[" + std::to_string(code) + "]\r\n";
    describe_body(out);
    out += "\r\n";
}

void p2p_cmd_tcp::encode_body(p2p_cmd_writer&) const {}
void p2p_cmd_tcp::decode_body(p2p_cmd_reader&) {}
std::uint32_t p2p_cmd_tcp::body_size() const {
    return 0;
}
void p2p_cmd_tcp::describe_body(std::string&) const {}

// --- HANDSHAKE / CDN_HANDSHAKE ---

void p2p_cmd_handshake::encode_body(p2p_cmd_writer& writer) const {
    writer.write_uint32(hs_word)
        .write_uint8(hs_byte)
        .write_cid(gcid)
        .write_uint64(file_size)
        .write_uint8(hs_byte2)
        .write_string(peer_id)
        .write_string(hs_string2)
        .write_uint32(hs_word2)
        .write_uint32(hs_word3)
        .write_uint64(hs_long1)
        .write_uint64(hs_long2)
        .write_uint8(hs_byte3);
    write_ext_words(writer, ext_words);
    writer.write_uint8(ext_byte).write_string(hs_string3).write_uint32(hs_word4);
}

void p2p_cmd_handshake::decode_body(p2p_cmd_reader& reader) {
    reader.read_uint32(hs_word)
        .read_uint8(hs_byte)
        .read_cid(gcid)
        .read_uint64(file_size)
        .read_uint8(hs_byte2)
        .read_string(peer_id)
        .read_string(hs_string2)
        .read_uint32(hs_word2)
        .read_uint32(hs_word3)
        .read_uint64(hs_long1)
        .read_uint64(hs_long2)
        .read_uint8(hs_byte3);
    read_ext_words(reader, ext_words);
    reader.read_uint8(ext_byte).read_string(hs_string3).read_uint32(hs_word4);
}

std::uint32_t p2p_cmd_handshake::body_size() const {
    return 104 + string_bytes(peer_id) + string_bytes(hs_string2) + string_bytes(hs_string3);
}

// --- HANDSHAKERESP ---

void p2p_cmd_handshakeresp::encode_body(p2p_cmd_writer& writer) const {
    writer.write_uint8(result)
        .write_string(hr_string1)
        .write_uint32(hr_word)
        .write_uint64(hr_long1)
        .write_uint64(hr_long2)
        .write_uint8(hr_byte);
    write_ext_words(writer, ext_words);
    writer.write_uint8(ext_byte).write_string(hr_string2);
}

void p2p_cmd_handshakeresp::decode_body(p2p_cmd_reader& reader) {
    reader.read_uint8(result)
        .read_string(hr_string1)
        .read_uint32(hr_word)
        .read_uint64(hr_long1)
        .read_uint64(hr_long2)
        .read_uint8(hr_byte);
    read_ext_words(reader, ext_words);
    reader.read_uint8(ext_byte).read_string(hr_string2);
}

std::uint32_t p2p_cmd_handshakeresp::body_size() const {
    return 55 + string_bytes(hr_string1) + string_bytes(hr_string2);
}

// --- INTERESTED / INTERESTEDRESP ---

void p2p_cmd_interested::encode_body(p2p_cmd_writer& writer) const {
    writer.write_uint8(in_byte).write_uint32(in_word).write_uint32(in_word2);
}

void p2p_cmd_interested::decode_body(p2p_cmd_reader& reader) {
    reader.read_uint8(in_byte).read_uint32(in_word).read_uint32(in_word2);
}

void p2p_cmd_interestedresp::encode_body(p2p_cmd_writer& writer) const {
    writer.write_uint8(completion).write_uint32(static_cast<std::uint32_t>(ranges.size()));
    for (const p2p_range& range : ranges) {
        writer.write_range(range);
    }
}

void p2p_cmd_interestedresp::decode_body(p2p_cmd_reader& reader) {
    std::uint32_t count = 0;
    reader.read_uint8(completion).read_uint32(count);
    // The count is the peer's claim; the list grows only with ranges actually present, so
    // it stays bounded by the body size.
    ranges.clear();
    for (std::uint32_t i = 0; i < count; ++i) {
        p2p_range range;
        reader.read_range(range);
        ranges.push_back(range);
    }
}

std::uint32_t p2p_cmd_interestedresp::body_size() const {
    std::size_t size = 5;
    for (const p2p_range& range : ranges) {
        size += packed_range_size(range);
    }
    return static_cast<std::uint32_t>(size);
}

// --- REQUEST ---

void p2p_cmd_request::encode_body(p2p_cmd_writer& writer) const {
    writer.write_uint8(rq_byte)
        .write_uint64(offset)
        .write_uint64(length)
        .write_uint32(rq_word)
        .write_uint8(rq_byte2);
    write_ext_words(writer, ext_words);
    writer.write_uint8(ext_byte);
}

void p2p_cmd_request::check_rules() const {
    if (length == 0 || rq_word == 0 || rq_word > 65535) {
        throw std::exception();
    }
}

void p2p_cmd_request::decode_body(p2p_cmd_reader& reader) {
    try {
        reader.read_uint8(rq_byte)
            .read_uint64(offset)
            .read_uint64(length)
            .read_uint32(rq_word)
            .read_uint8(rq_byte2);
        read_ext_words(reader, ext_words);
        reader.read_uint8(ext_byte);
    } catch (const p2p_cmd_exception_insufficient_read&) {
        // A body cut short still has to be a valid request; otherwise its built zeros
        // would pass for one.
        check_rules();
        throw;
    }
    check_rules();
}

// --- REQUESTRESP ---

void p2p_cmd_requestresp::set_data(const std::uint8_t* data, std::uint32_t size) {
    data_length_ = size;
    if (owns_) {
        owned_.assign(data, data + size);
        data_ = owned_.data();
    } else {
        owned_.clear();
        data_ = data;
    }
}

void p2p_cmd_requestresp::encode_body(p2p_cmd_writer& writer) const {
    writer.write_uint8(result).write_uint64(offset).write_uint32(data_length_);
    writer.write_bytes(data_, data_length_);
    write_ext_words(writer, ext_words);
    writer.write_uint8(ext_byte);
}

void p2p_cmd_requestresp::decode_body(p2p_cmd_reader& reader) {
    std::uint32_t length = 0;
    try {
        reader.read_uint8(result).read_uint64(offset).read_uint32(length);
    } catch (const p2p_cmd_exception_insufficient_read&) {
        // Without these three fields there is no answer at all: an error, not a short body.
        throw std::exception();
    }
    if (length == 0 && result == 0) {
        throw std::runtime_error("Result is Success but Data Len = [0] is illegal!");
    }
    if (length != 0 && result != 0) {
        throw std::runtime_error("Result is Failed but Data Len = [" + std::to_string(length) +
                                 "] is illegal!");
    }
    if (length > max_data_length) {
        throw std::runtime_error("Data Len = [" + std::to_string(length) + "] is illegal!");
    }
    const std::uint8_t* data = reader.position();
    reader.skip(length);
    set_data(data, length);
    read_ext_words(reader, ext_words);
    reader.read_uint8(ext_byte);
}

// --- factory and framing ---

std::unique_ptr<p2p_cmd_tcp> make_p2p_cmd(std::uint8_t code) {
    switch (code) {
        case cmd_handshake:
            return std::make_unique<p2p_cmd_handshake>();
        case cmd_handshakeresp:
            return std::make_unique<p2p_cmd_handshakeresp>();
        case cmd_interested:
            return std::make_unique<p2p_cmd_interested>();
        case cmd_interestedresp:
            return std::make_unique<p2p_cmd_interestedresp>();
        case cmd_keepalive:
            return std::make_unique<p2p_cmd_keepalive1>();
        case cmd_request:
            return std::make_unique<p2p_cmd_request>();
        case cmd_requestresp:
            return std::make_unique<p2p_cmd_requestresp>(true);
        case cmd_cancel:
            return std::make_unique<p2p_cmd_cancel>();
        case cmd_cancelresp:
            return std::make_unique<p2p_cmd_cancelresp>();
        case cmd_cdn_handshake:
            return std::make_unique<p2p_cmd_cdn_handshake>();
        default:
            return nullptr;
    }
}

frame_scan scan_noise_frame(const std::uint8_t* data, std::size_t size) {
    frame_scan scan;
    if (size < noise_header_size) {
        return scan;
    }
    const std::uint32_t body_length = load_u32(data + noise_body_length_offset);
    scan.code = data[noise_code_offset];
    if (body_length > max_body_length) {
        scan.status = frame_status::invalid;
        return scan;
    }
    scan.total_size = noise_header_size + body_length;
    scan.status = size < scan.total_size ? frame_status::incomplete : frame_status::complete;
    return scan;
}

}  // namespace peerfeed
