#pragma once
// How fetching one file into its side file ended: verified, or why not. The run's words for each code
// are in patch/Words.h (FetchFailureWords).
#include <cstdint>
#include <string>

#include "digest/Sha256.h"

enum class FetchCode : uint8_t {
    Verified,
    BadUrl,          // the file's address cannot be requested
    NoConnection,    // the server could not be connected
    NoRequest,       // the request could not be made
    NoSideFile,      // the side file could not be created
    NoMemory,        // no room for the transfer's buffers
    Cancelled,       // another file failed first
    ConnectionLost,  // the request or its answer was lost
    HttpStatus,      // the server answered with httpStatus
    WrongSize,       // more or fewer bytes than the entry lists
    WriteFailed,     // the side file could not be written
    HashFailed,      // SHA-256 could not be computed
    WrongDigest,     // the bytes are not the entry's
    NotAssembled,    // the block map could not be used; a whole download follows
};

struct FetchResult {
    FetchCode code = FetchCode::Verified;
    uint32_t httpStatus = 0;  // with HttpStatus
    uint32_t winhttpError = 0;  // with ConnectionLost: why the request or its answer was lost
};

inline bool IsVerified(const FetchResult& result) { return result.code == FetchCode::Verified; }

// The final check of a side file, once its last byte is written and hashed: exactly expectedSize bytes
// whose SHA-256 is expectedSha256 (lower-case hex). Finishes digest.
FetchCode CheckSideFile(Sha256Stream& digest, uint64_t written, uint64_t expectedSize,
                        const std::string& expectedSha256);
