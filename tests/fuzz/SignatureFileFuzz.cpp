// Arbitrary bytes through the signature-file reader, the UTC time reader and the stamp block reader:
// whatever is accepted must write back to an equivalent form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "trust/StampBlock.h"
#include "trust/Expiry.h"
#include "trust/SignatureFile.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    ManifestSignature signature;
    if (ParseSignatureFile(bytes, signature)) {
        const std::string text = SignatureFileText(signature);
        ManifestSignature again;
        Check(ParseSignatureFile(text, again));
        Check(again.keyId == signature.keyId && again.rs == signature.rs);
        // Only line ends may differ from the canonical form.
        std::string withoutCr;
        for (char c : bytes)
            if (c != '\r') withoutCr += c;
        Check(withoutCr == text);
    }
    int64_t seconds = 0;
    if (ParseUtcTime(bytes, seconds)) Check(FormatUtcTime(seconds) == bytes);
    ReadManifestExpiry(bytes, seconds);
    if (size >= kStampBlockSize) {
        StampSettings settings;
        if (ReadStampBlock(data, kStampBlockSize, settings)) Check(settings.keys.size() <= kMaxPublicKeys);
    }
    return 0;
}
