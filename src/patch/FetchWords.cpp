#include "patch/FetchWords.h"

StatusWords FetchFailureWords(const FetchResult& result, const PlannedFile& file) {
    const std::wstring& name = file.displayName;
    std::wstring detail;
    switch (result.code) {
    case FetchCode::Verified:
    case FetchCode::NotAssembled: break;
    case FetchCode::BadUrl: detail = L"URL ไฟล์ไม่ถูกต้อง: " + name; break;
    case FetchCode::NoConnection: detail = L"เชื่อมต่อเซิร์ฟเวอร์อัปเดตไม่ได้"; break;
    case FetchCode::NoRequest: detail = L"สร้างคำขอดาวน์โหลดไม่สำเร็จ"; break;
    case FetchCode::NoSideFile: detail = L"สร้างไฟล์ชั่วคราวไม่ได้: " + file.sidePath; break;
    case FetchCode::NoMemory: detail = L"หน่วยความจำไม่พอสำหรับดาวน์โหลด " + name; break;
    case FetchCode::Cancelled: detail = L"ยกเลิกการดาวน์โหลด " + name; break;
    case FetchCode::ConnectionLost: detail = L"การเชื่อมต่อขาดหายขณะดาวน์โหลด " + name; break;
    case FetchCode::HttpStatus:
        detail = L"ดาวน์โหลด " + name + L" ไม่สำเร็จ (HTTP " + std::to_wstring(result.httpStatus) + L")";
        break;
    case FetchCode::WrongSize: detail = L"ขนาดไฟล์ที่ดาวน์โหลดไม่ตรง (" + name + L")"; break;
    case FetchCode::WriteFailed: detail = L"เขียนไฟล์ลงดิสก์ไม่สำเร็จ (พื้นที่อาจเต็ม): " + name; break;
    case FetchCode::HashFailed: detail = L"คำนวณ SHA-256 ไม่สำเร็จ"; break;
    case FetchCode::WrongDigest: detail = L"ตรวจสอบความถูกต้อง (SHA-256) ไม่ผ่าน: " + name; break;
    }
    return {L"อัปเดตไม่สำเร็จ", detail};
}
