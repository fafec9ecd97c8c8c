// The state file's format: what is written reads back the same, and nothing cut, changed, of
// another version or beyond its limits is read at all.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "digest/Sha256Core.h"
#include "state/FolderState.h"
#include "state/StateNames.h"

namespace {

FolderState Sample() {
    FolderState s;
    s.folder = "C:\\Games\\Qirell QX \xE0\xB8\x81";
    s.volumeSerial = 0xA1B2C3D4;
    s.lastFullCheck = 1765000000;
    s.counters.push_back({{1, 2, 3, 4, 5, 6, 7, 8}, 9007199254740992ull});
    FileRecord f;
    f.path = "data/a.qpa";
    f.identity = {123456789012ull, 133000000000000000ll, 133000000000000001ll, {9, 8, 7}};
    f.sha256[0] = 0xAB;
    s.files.push_back(f);
    f.path = "b.txt";
    f.identity.size = 0;
    s.files.push_back(f);
    PartialRecord p;
    p.path = "big.bin";
    p.size = 1ull << 40;
    p.sha256[31] = 1;
    p.validator = "\"5f1e-1000\"";
    s.partials.push_back(p);
    return s;
}

bool Same(const FolderState& a, const FolderState& b) {
    if (a.folder != b.folder || a.volumeSerial != b.volumeSerial || a.lastFullCheck != b.lastFullCheck ||
        a.counters.size() != b.counters.size() || a.files.size() != b.files.size() ||
        a.partials.size() != b.partials.size())
        return false;
    for (size_t i = 0; i < a.counters.size(); ++i)
        if (a.counters[i].keyId != b.counters[i].keyId || a.counters[i].sequence != b.counters[i].sequence) return false;
    for (size_t i = 0; i < a.files.size(); ++i)
        if (a.files[i].path != b.files[i].path || !(a.files[i].identity == b.files[i].identity) ||
            a.files[i].sha256 != b.files[i].sha256)
            return false;
    for (size_t i = 0; i < a.partials.size(); ++i)
        if (a.partials[i].path != b.partials[i].path || a.partials[i].size != b.partials[i].size ||
            a.partials[i].sha256 != b.partials[i].sha256 || a.partials[i].validator != b.partials[i].validator)
            return false;
    return true;
}

// The digest at the end made right again after a deliberate change, so only the change is judged.
std::string Resealed(std::string bytes) {
    uint8_t digest[32];
    Sha256Of(bytes.data(), bytes.size() - 32, digest);
    std::memcpy(bytes.data() + bytes.size() - 32, digest, 32);
    return bytes;
}

void PutU32(std::string& bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
}

constexpr size_t kHeader = 24;

}  // namespace

TEST(FolderState, WhatIsWrittenReadsBackTheSame) {
    for (const FolderState& s : {FolderState{}, Sample()}) {
        FolderState back;
        back.folder = "left over";
        ASSERT_EQ(DecodeState(EncodeState(s), back), StateRead::Read);
        EXPECT_TRUE(Same(s, back));
    }
}

TEST(FolderState, ACutOrChangedFileIsNotRead) {
    const std::string good = EncodeState(Sample());
    const FolderState sentinel = Sample();
    for (size_t n = 0; n < good.size(); ++n) {
        FolderState out = sentinel;
        EXPECT_EQ(DecodeState(good.substr(0, n), out), StateRead::Damaged) << "cut at " << n;
        EXPECT_TRUE(Same(out, sentinel));
    }
    for (size_t i = 0; i < good.size(); ++i) {
        std::string bad = good;
        bad[i] = static_cast<char>(bad[i] ^ 0x20);
        FolderState out;
        EXPECT_EQ(DecodeState(bad, out), StateRead::Damaged) << "byte " << i;
    }
    FolderState out;
    EXPECT_EQ(DecodeState(good + "x", out), StateRead::Damaged);
}

TEST(FolderState, AnotherVersionIsToldApartFromDamage) {
    std::string other = EncodeState(Sample());
    PutU32(other, 8, kStateVersion + 1);
    FolderState out;
    EXPECT_EQ(DecodeState(Resealed(other), out), StateRead::OtherVersion);
    EXPECT_EQ(DecodeState(other, out), StateRead::Damaged);  // without its digest made right
}

// Whole files (their digests right) whose counts or lengths promise more than they hold, or more than
// the limits allow: refused before anything that large is made.
TEST(FolderState, CountsAndLengthsBeyondTheBytesOrLimitsAreRefused) {
    FolderState s;
    s.folder = "C:\\g";
    const std::string base = EncodeState(s);
    const size_t folderLength = kHeader, counters = kHeader + 4 + 4 + 4 + 8, files = counters + 4,
                 partials = files + 4;
    struct Case {
        const char* name;
        size_t at;
        uint32_t value;
    } cases[] = {
        {"folder length past the end", folderLength, 1000},
        {"counters past the end", counters, 1},
        {"files past the end", files, 0xFFFFFFFF},
        {"partials past the end", partials, 7},
    };
    for (const Case& c : cases) {
        std::string bad = base;
        PutU32(bad, c.at, c.value);
        FolderState out;
        EXPECT_EQ(DecodeState(Resealed(bad), out), StateRead::Damaged) << c.name;
    }
    FolderState many;
    many.counters.resize(kMaxKeyCounters + 1);
    FolderState out;
    EXPECT_EQ(DecodeState(EncodeState(many), out), StateRead::Damaged);
    FolderState longValidator;
    longValidator.partials.push_back({"a", 1, {}, std::string(kMaxValidatorBytes + 1, 'x')});
    EXPECT_EQ(DecodeState(EncodeState(longValidator), out), StateRead::Damaged);
}

TEST(StateNames, TheLogAndStateFilesInAnyCase) {
    struct Case {
        const char* name;
        bool patchers;
    } cases[] = {
        {"QirellPatcher.log", true},         {"qirellpatcher.LOG", true},
        {"QirellPatcher.log.1", true},       {"QIRELLPATCHER.LOG.1", true},
        {"QirellPatcher-0123456789abcdef.state", true},
        {"qirellpatcher-anything.STATE", true},
        {"QirellPatcher-0123456789abcdef.state.tmp", true},
        {"QirellPatcher.log.2", false},      {"QirellPatcher.exe", false},
        {"QirellPatcher.state", false},      {"QirellPatcher-.stat", false},
        {"MyQirellPatcher.log", false},      {"QirellPatcher.log.tmp", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsPatcherStateName(c.name, std::strlen(c.name)), c.patchers) << c.name;
}
