// Tests of the subject protocol codec: byte-exact requests built in a reused
// buffer, and decoding of responses that are well formed, refused, truncated or
// lying about their lengths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "vt_buffer.h"
#include "vt_json.h"
#include "vt_protocol.h"
#include "vt_test_json.h"
#include "vt_test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct BufferDeleter {
    void operator()(vt_buffer *buffer) const { vt_buffer_deit(&buffer); }
};
using ObjPtr = vt_test::JsonPtr;
using vt_test::parse_json;

// A report is "[syserr]: <source> (<function>:<line>); <message>.\n"; the line is
// the implementation's own, so only its digits are checked.
void expect_report(const std::string &text, const std::string &function, const std::string &message)
{
    const std::string head = "[syserr]: vt-core/vt_protocol (" + function + ":";
    const std::string tail = "); " + message + ".\n";
    ASSERT_GT(text.size(), head.size() + tail.size()) << text;
    EXPECT_EQ(text.substr(0, head.size()), head) << text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    const std::string line = text.substr(head.size(), text.size() - head.size() - tail.size());
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.find_first_not_of("0123456789"), std::string::npos) << text;
}

void expect_empty(const vt_ptc_req &request)
{
    EXPECT_EQ(request.message, nullptr);
    EXPECT_EQ(request.body, nullptr);
    EXPECT_EQ(request.error, nullptr);
    EXPECT_EQ(request.error_length, 0u);
}

class ProtocolTest : public ::testing::Test {
public:
    void SetUp() override
    {
        vt_buffer *raw = nullptr;
        ASSERT_EQ(vt_buffer_init(&raw, 0), 0);
        buffer_.reset(raw);
    }

    // A JSON-layout message as the subject would send it, copied out of the
    // scratch buffer so the decoder may convert it in place.
    Bytes json_message(uint8_t opcode, uint32_t error, std::string_view body)
    {
        uint8_t *message = nullptr;
        size_t size = 0;
        if (body.empty()) {
            EXPECT_EQ(vt_ptc_res_header(buffer_.get(), opcode, error, &message, &size), 0);
        } else {
            ObjPtr document = parse_json(body);
            EXPECT_EQ(vt_ptc_res_json(buffer_.get(), document.get(), opcode, error, &message, &size), 0);
        }
        return message ? Bytes(message, message + size) : Bytes();
    }

protected:
    std::unique_ptr<vt_buffer, BufferDeleter> buffer_;
    vt_test::SyserrCapture capture_;
};

Bytes header_bytes(std::initializer_list<uint8_t> leading)
{
    Bytes bytes(leading);
    bytes.resize(vt_ptc_format::kHeaderSize, 0);
    return bytes;
}

TEST_F(ProtocolTest, HeaderWithoutBodyIsOpcodeThenZeros)
{
    uint8_t *message = nullptr;
    size_t size = 0;
    ASSERT_EQ(vt_ptc_res_header(buffer_.get(), 9, 0, &message, &size), 0);
    ASSERT_EQ(size, 48u);
    EXPECT_EQ(Bytes(message, message + size), header_bytes({0x09}));
    EXPECT_EQ(buffer_->used, 0u);
}

TEST_F(ProtocolTest, HeaderCarriesErrorCodeBigEndian)
{
    uint8_t *message = nullptr;
    size_t size = 0;
    ASSERT_EQ(vt_ptc_res_header(buffer_.get(), 12, 0x01020304, &message, &size), 0);
    EXPECT_EQ(Bytes(message, message + size), header_bytes({0x0C, 0x01, 0x02, 0x03, 0x04}));
}

TEST_F(ProtocolTest, JsonBodyOfIdTwoHasLengthSixteen)
{
    ObjPtr document = parse_json(R"({"id": 2})");
    uint8_t *message = nullptr;
    size_t size = 0;
    ASSERT_EQ(vt_ptc_res_json(buffer_.get(), document.get(), 11, 0, &message, &size), 0);
    ASSERT_EQ(size, 64u);
    EXPECT_EQ(Bytes(message, message + 48), header_bytes({0x0B, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x10}));
    const std::string body(reinterpret_cast<const char *>(message) + 48, 16);
    EXPECT_EQ(body, std::string("{\n    \"id\": 2\n}\0", 16));
}

// A header built where a longer message was built before must not keep its bytes.
TEST_F(ProtocolTest, ReusedBufferLeavesNoStaleBytes)
{
    ObjPtr document = parse_json(R"({"password": "secret", "username": "examiner"})");
    uint8_t *message = nullptr;
    size_t size = 0;
    ASSERT_EQ(vt_ptc_res_json(buffer_.get(), document.get(), 22, 0xFFFFFFFF, &message, &size), 0);
    ASSERT_EQ(vt_ptc_res_header(buffer_.get(), 26, 0, &message, &size), 0);
    EXPECT_EQ(Bytes(message, message + size), header_bytes({0x1A}));
    ASSERT_EQ(vt_ptc_res_json(buffer_.get(), document.get(), 22, 0xFFFFFFFF, &message, &size), 0);
    ASSERT_EQ(vt_ptc_read_req(buffer_.get(), 1, 2, 3, 4, &message, &size), 0);
    EXPECT_EQ(Bytes(message, message + size),
              header_bytes({0x0F, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0,
                            0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 4}));
}

TEST_F(ProtocolTest, ReadRequestIsByteExact)
{
    uint8_t *message = nullptr;
    size_t size = 0;
    ASSERT_EQ(vt_ptc_read_req(buffer_.get(), 3, 1048576, 65536, 524288, &message, &size), 0);
    ASSERT_EQ(size, 48u);
    const Bytes expected = {
        0x0F,                                            // opcode
        0x00, 0x00, 0x00, 0x03,                          // target id
        0x00, 0x00, 0x00, 0x00,                          // error code
        0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,  // offset
        0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,  // length
        0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00,  // piece limit
        0x00, 0x00, 0x00, 0x00,                          // flags
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                 // reserved
    };
    EXPECT_EQ(Bytes(message, message + size), expected);
    EXPECT_TRUE(capture_.text().empty());
}

struct OpcodeCase {
    unsigned opcode;
    bool valid;
};

void PrintTo(const OpcodeCase &c, std::ostream *os) { *os << "opcode " << c.opcode; }

class BuildOpcodeTest : public ProtocolTest, public ::testing::WithParamInterface<OpcodeCase> {};

TEST_P(BuildOpcodeTest, OpcodeRangeIsCheckedInBothBuilders)
{
    const OpcodeCase c = GetParam();
    const uint8_t opcode = static_cast<uint8_t>(c.opcode);
    ObjPtr document = parse_json(R"({"id": 2})");
    uint8_t *message = nullptr;
    size_t size = 0;

    EXPECT_EQ(vt_ptc_res_header(buffer_.get(), opcode, 0, &message, &size), c.valid ? 0 : 1);
    if (c.valid)
        EXPECT_TRUE(capture_.text().empty());
    else
        expect_report(capture_.text(), "vt_ptc_hdr_hton", std::to_string(c.opcode) + " is an invalid opcode");
    capture_.clear();

    EXPECT_EQ(vt_ptc_res_json(buffer_.get(), document.get(), opcode, 0, &message, &size), c.valid ? 0 : 1);
    if (c.valid)
        EXPECT_TRUE(capture_.text().empty());
    else
        expect_report(capture_.text(), "vt_ptc_hdr_hton", std::to_string(c.opcode) + " is an invalid opcode");
}

INSTANTIATE_TEST_SUITE_P(Opcodes, BuildOpcodeTest,
                         ::testing::Values(OpcodeCase{0, false}, OpcodeCase{1, true},
                                           OpcodeCase{36, true}, OpcodeCase{37, false},
                                           OpcodeCase{255, false}));

TEST_F(ProtocolTest, HtonZeroesReservedBytesAndNtohRestoresNumbers)
{
    Bytes bytes(48, 0xAA);
    auto *header = reinterpret_cast<vt_ptc_hdr *>(bytes.data());
    header->opcode = 34;
    header->error = 0x300;
    header->length = 0x1234;
    ASSERT_EQ(vt_ptc_hdr_hton(header), 0);
    EXPECT_EQ(bytes, header_bytes({0x22, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x12, 0x34}));
    ASSERT_EQ(vt_ptc_hdr_ntoh(header), 0);
    EXPECT_EQ(header->error, 0x300u);
    EXPECT_EQ(header->length, 0x1234u);
}

TEST_F(ProtocolTest, DecodesWhatTheBuilderWrote)
{
    Bytes bytes = json_message(10, 0, R"({"targets": []})");
    vt_ptc_req request = {};
    ASSERT_EQ(vt_ptc_req_init(&request, bytes.data(), bytes.size()), 0);
    EXPECT_EQ(static_cast<void *>(request.message), static_cast<void *>(bytes.data()));
    EXPECT_EQ(request.message->opcode, 10);
    EXPECT_EQ(request.message->error, 0u);
    EXPECT_EQ(request.message->length, bytes.size() - 48);
    ASSERT_NE(request.body, nullptr);
    EXPECT_EQ(vt_json_obj_check_key(request.body, "targets"), 0);
    EXPECT_EQ(request.error, nullptr);
    EXPECT_EQ(vt_ptc_req_deit(&request), 0);
    expect_empty(request);
}

TEST_F(ProtocolTest, DecodesSuccessWithoutBody)
{
    Bytes bytes = json_message(23, 0, "");
    vt_ptc_req request = {};
    ASSERT_EQ(vt_ptc_req_init(&request, bytes.data(), bytes.size()), 0);
    EXPECT_NE(request.message, nullptr);
    EXPECT_EQ(request.body, nullptr);
    EXPECT_EQ(request.error, nullptr);
    vt_ptc_req_deit(&request);
}

struct ErrorCase {
    uint8_t opcode;
    uint32_t error;
};

void PrintTo(const ErrorCase &c, std::ostream *os)
{
    *os << "opcode " << unsigned(c.opcode) << " error " << c.error;
}

class DecodeErrorTest : public ProtocolTest, public ::testing::WithParamInterface<ErrorCase> {};

// Any non-zero code, the tolerated login code included, gives the "error" text.
TEST_P(DecodeErrorTest, ErrorTextComesFromBody)
{
    Bytes bytes = json_message(GetParam().opcode, GetParam().error, R"({"error": "denied"})");
    vt_ptc_req request = {};
    ASSERT_EQ(vt_ptc_req_init(&request, bytes.data(), bytes.size()), 0);
    EXPECT_EQ(request.message->error, GetParam().error);
    ASSERT_NE(request.error, nullptr);
    EXPECT_EQ(std::string(request.error, request.error_length), "denied");
    EXPECT_EQ(request.error_length, 6u);
    vt_ptc_req_deit(&request);
    expect_empty(request);
}

INSTANTIATE_TEST_SUITE_P(Codes, DecodeErrorTest,
                         ::testing::Values(ErrorCase{23, 5}, ErrorCase{12, VT_PTC_ERR_LOGIN_TOLERATED},
                                           ErrorCase{14, 0xFFFFFFFF}));

struct BadMessage {
    const char *name;
    Bytes (*make)(ProtocolTest &);
    bool reports;  // only malformed JSON is reported (by the JSON helpers)
};

void PrintTo(const BadMessage &m, std::ostream *os) { *os << m.name; }

class DecodeFailureTest : public ProtocolTest, public ::testing::WithParamInterface<BadMessage> {};

// A failed decode leaves the record empty, even when it held stale values.
TEST_P(DecodeFailureTest, FailsAndLeavesRecordEmpty)
{
    Bytes bytes = GetParam().make(*this);
    vt_ptc_req request = {reinterpret_cast<vt_ptc_hdr *>(0x1), nullptr, "stale", 5};
    if (bytes.size() < 48)
        request = {};
    EXPECT_EQ(vt_ptc_req_init(&request, bytes.data(), bytes.size()), 1);
    expect_empty(request);
    if (!GetParam().reports)
        EXPECT_EQ(capture_.text(), "");
    else
        EXPECT_NE(capture_.text(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DecodeFailureTest,
    ::testing::Values(
        BadMessage{"ShorterThanHeader",
                   [](ProtocolTest &) { return Bytes(47, 0x0A); }, false},
        BadMessage{"BodyShorterThanStated",
                   [](ProtocolTest &t) {
                       Bytes b = t.json_message(10, 0, R"({"targets": []})");
                       b.pop_back();
                       return b;
                   },
                   false},
        BadMessage{"LengthFarBeyondMessage",
                   [](ProtocolTest &) { return header_bytes({0x0A, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}); },
                   false},
        BadMessage{"ErrorCodeWithoutBody",
                   [](ProtocolTest &t) { return t.json_message(23, 5, ""); },
                   false},
        BadMessage{"ToleratedLoginCodeWithoutErrorKey",
                   [](ProtocolTest &t) {
                       return t.json_message(12, VT_PTC_ERR_LOGIN_TOLERATED,
                                                                               R"({"id": 2})");
                   },
                   false},
        BadMessage{"ErrorNotAString",
                   [](ProtocolTest &t) {
                       return t.json_message(23, 5, R"({"error": 5})");
                   },
                   false},
        BadMessage{"BodyLengthOne",
                   [](ProtocolTest &) {
                       Bytes b = header_bytes({0x0A, 0, 0, 0, 0, 0, 0, 0, 1});
                       b.push_back(0);
                       return b;
                   },
                   true},
        BadMessage{"BodyNotJson",
                   [](ProtocolTest &) {
                       Bytes b = header_bytes({0x0A, 0, 0, 0, 0, 0, 0, 0, 4});
                       b.insert(b.end(), {'{', '"', 'x', 0});
                       return b;
                   },
                   true}),
    [](const ::testing::TestParamInfo<BadMessage> &info) { return std::string(info.param.name); });

TEST_F(ProtocolTest, InvalidOpcodeIsReportedByNtoh)
{
    for (unsigned opcode : {0u, 37u, 200u}) {
        capture_.clear();
        Bytes bytes = header_bytes({static_cast<uint8_t>(opcode)});
        vt_ptc_req request = {};
        EXPECT_EQ(vt_ptc_req_init(&request, bytes.data(), bytes.size()), 1);
        expect_empty(request);
        expect_report(capture_.text(), "vt_ptc_hdr_ntoh", std::to_string(opcode) + " is an invalid opcode");
    }
}

TEST_F(ProtocolTest, ReadResponseHeaderToHostOrder)
{
    Bytes bytes = {
        0x11,                                            // opcode 17
        0x00, 0x00, 0x00, 0x07,                          // target id
        0x00, 0x00, 0x03, 0x00,                          // error code
        0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,  // offset
        0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00,  // length
        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // piece limit
        0x00, 0x00, 0x00, 0x01,                          // flags
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                 // reserved
    };
    auto *header = reinterpret_cast<vt_ptc_read_hdr *>(bytes.data());
    ASSERT_EQ(vt_ptc_read_ntoh(header), 0);
    EXPECT_EQ(header->opcode, VT_PTC_TARGET_READ_RES);
    EXPECT_EQ(header->id, 7u);
    EXPECT_EQ(header->error, VT_PTC_ERR_READ_RECOVERABLE);
    EXPECT_EQ(header->offset, 0x100000000ull);
    EXPECT_EQ(header->length, 524288u);
    EXPECT_EQ(header->limit, 0x0102030405060708ull);
    EXPECT_EQ(header->flags, 1u);
}

struct FlagsCase {
    uint8_t flags[4];
    bool last;
};

void PrintTo(const FlagsCase &c, std::ostream *os)
{
    *os << "flags " << unsigned(c.flags[0]) << ' ' << unsigned(c.flags[1]) << ' ' << unsigned(c.flags[2])
        << ' ' << unsigned(c.flags[3]);
}

class ReadFlagsTest : public ::testing::TestWithParam<FlagsCase> {};

// Bit 0 of the big-endian flags field travels in byte 36, not byte 33.
TEST_P(ReadFlagsTest, LastPieceIsBitZeroOfBigEndianFlags)
{
    Bytes bytes = header_bytes({0x11});
    std::memcpy(bytes.data() + vt_ptc_format::kReadFlagsOffset, GetParam().flags, 4);
    auto *header = reinterpret_cast<vt_ptc_read_hdr *>(bytes.data());
    ASSERT_EQ(vt_ptc_read_ntoh(header), 0);
    EXPECT_EQ((header->flags & vt_ptc_format::kReadFlagLast) != 0, GetParam().last);
}

INSTANTIATE_TEST_SUITE_P(Flags, ReadFlagsTest,
                         ::testing::Values(FlagsCase{{0, 0, 0, 1}, true}, FlagsCase{{1, 0, 0, 0}, false},
                                           FlagsCase{{0, 0, 0, 0}, false}, FlagsCase{{0, 0, 1, 3}, true}));

} // namespace
