#pragma once
#include <optional>
#include <string>
#include <vector>

#include "trust/StampBlock.h"
#include "net/Http.h"

enum class SignatureError {
    None,
    Unreachable,   // the signature file could not be fetched; fetch says why
    BadSignature,  // unreadable, or made by none of the keys, or not over these bytes
    BadExpiry,     // the manifest's expiry member is malformed
    Expired,
};

// With public keys: fetches the manifest's detached signature (".sig" after the path of fetchUrl, same
// query) and checks it, then the manifest's expiry, over the exact bytes of body; signer becomes the
// key that made the signature. Without keys it does nothing at all and signer stays empty.
SignatureError VerifyManifestSignature(HttpSession& session, const std::vector<PublicKey>& keys,
                                       const std::wstring& fetchUrl, const std::string& body,
                                       std::optional<PublicKey>& signer, GetResult& fetch);
