#pragma once
#include <optional>
#include <string>

#include "trust/StampBlock.h"
#include "net/Http.h"

// With public keys configured: fetches the manifest's detached signature (".sig" after the path of
// fetchUrl, same query) and checks it, then the manifest's expiry, over the exact bytes of body;
// signer becomes the key that made the signature. Without keys it does nothing at all and signer
// stays empty. False: the failure status is already written.
bool VerifyManifestSignature(HttpSession& session, const std::wstring& fetchUrl, const std::string& body,
                             std::optional<PublicKey>& signer);
