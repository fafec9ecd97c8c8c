#include "patch/LogLines.h"

namespace {

constexpr uint32_t kWinHttpErrorFirst = 12000, kWinHttpErrorLast = 12199;
constexpr uint32_t kWinHttpTimeout = 12002, kWinHttpCannotConnect = 12029;

// A request or answer lost, named by its WinHTTP error where that says more.
std::string LostText(uint32_t error) {
    if (error == kWinHttpCannotConnect) return "no connection";
    if (error == kWinHttpTimeout) return "timed out";
    return "connection lost";
}

}  // namespace

std::string SystemErrorText(uint32_t error) {
    if (!error) return {};
    const bool winHttp = error >= kWinHttpErrorFirst && error <= kWinHttpErrorLast;
    return (winHttp ? " (WinHTTP " : " (error ") + std::to_string(error) + ")";
}

std::string LogText(const GetResult& result) {
    std::string text;
    switch (result.code) {
    case GetCode::Ok: return "ok";
    case GetCode::BadUrl: text = "address cannot be requested"; break;
    case GetCode::NoSession: text = "WinHTTP could not be opened"; break;
    case GetCode::NoConnection: text = "no connection"; break;
    case GetCode::NoRequest: text = "request could not be made"; break;
    case GetCode::ConnectionLost: text = LostText(result.systemError); break;
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
    case FetchCode::ConnectionLost: text = LostText(result.systemError); break;
    case FetchCode::HttpStatus: text = "HTTP " + std::to_string(result.httpStatus); break;
    case FetchCode::WrongSize: text = "size differs"; break;
    case FetchCode::WriteFailed: text = "side file could not be written"; break;
    case FetchCode::HashFailed: text = "SHA-256 could not be computed"; break;
    case FetchCode::WrongDigest: text = "digest differs"; break;
    case FetchCode::NotAssembled: text = "block map not used"; break;
    }
    return text + SystemErrorText(result.systemError);
}

std::string LogText(SignatureError error) {
    switch (error) {
    case SignatureError::None: return "ok";
    case SignatureError::Unreachable: return "signature not fetched";
    case SignatureError::BadSignature: return "signature not valid";
    case SignatureError::BadExpiry: return "expiry unreadable";
    case SignatureError::Expired: return "expired";
    }
    return {};
}

std::string LogText(FetchWay way) {
    switch (way) {
    case FetchWay::Whole: return "whole";
    case FetchWay::Resumed: return "whole, resumable";
    case FetchWay::Assembled: return "assembled from its block map";
    case FetchWay::Staged: return "pre-loaded";
    }
    return {};
}
