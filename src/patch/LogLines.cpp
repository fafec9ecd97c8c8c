#include "patch/LogLines.h"

std::string SystemErrorText(uint32_t error) {
    return error ? " (error " + std::to_string(error) + ")" : std::string();
}

std::string LogText(const GetResult& result) {
    std::string text;
    switch (result.code) {
    case GetCode::Ok: return "ok";
    case GetCode::BadUrl: text = "address cannot be requested"; break;
    case GetCode::NoSession: text = "WinHTTP could not be opened"; break;
    case GetCode::NoConnection: text = "no connection"; break;
    case GetCode::NoRequest: text = "request could not be made"; break;
    case GetCode::ConnectionLost: text = "connection lost"; break;
    case GetCode::HttpStatus: text = "HTTP " + std::to_string(result.httpStatus); break;
    case GetCode::TooLarge: text = "answer larger than allowed"; break;
    }
    return text + SystemErrorText(result.systemError);
}

std::string LogText(const FetchResult& result) {
    std::string text;
    switch (result.code) {
    case FetchCode::Verified: return "verified";
    case FetchCode::BadUrl: text = "address cannot be requested"; break;
    case FetchCode::NoConnection: text = "no connection"; break;
    case FetchCode::NoRequest: text = "request could not be made"; break;
    case FetchCode::NoSideFile: text = "side file could not be created"; break;
    case FetchCode::NoMemory: text = "out of memory"; break;
    case FetchCode::Cancelled: text = "cancelled after another file failed"; break;
    case FetchCode::ConnectionLost: text = "connection lost"; break;
    case FetchCode::HttpStatus: text = "HTTP " + std::to_string(result.httpStatus); break;
    case FetchCode::WrongSize: text = "size differs from the manifest"; break;
    case FetchCode::WriteFailed: text = "side file could not be written"; break;
    case FetchCode::HashFailed: text = "SHA-256 could not be computed"; break;
    case FetchCode::WrongDigest: text = "SHA-256 differs from the manifest"; break;
    case FetchCode::NotAssembled: text = "block map not used"; break;
    }
    return text + SystemErrorText(result.systemError);
}

std::string LogText(SignatureError error) {
    switch (error) {
    case SignatureError::None: return "ok";
    case SignatureError::Unreachable: return "signature file not fetched";
    case SignatureError::BadSignature: return "signature does not verify with any carried key";
    case SignatureError::BadExpiry: return "expiry member malformed";
    case SignatureError::Expired: return "manifest expired";
    }
    return {};
}

std::string LogText(FetchWay way) {
    switch (way) {
    case FetchWay::Whole: return "whole";
    case FetchWay::Resumed: return "whole, resumable";
    case FetchWay::Assembled: return "assembled from its block map";
    }
    return {};
}
