#include "patch/Words.h"

#include <new>

#include "text/SizeText.h"
#include "trust/SignatureFile.h"
#include "text/Text.h"

namespace {

constexpr wchar_t kBadManifestHeadline[] = L"ข้อมูลแพตช์ไม่ถูกต้อง";
constexpr wchar_t kBadManifestDetail[] = L"ไม่สามารถอ่านไฟล์ manifest.json จากเซิร์ฟเวอร์ได้";

}  // namespace

Words WordsFor(RunStep step) {
    switch (step) {
    case RunStep::Starting: return {L"กำลังเตรียมพร้อม...", L"กำลังเชื่อมต่อเซิร์ฟเวอร์อัปเดต..."};
    case RunStep::CheckingVersion:
        return {L"กำลังตรวจสอบเวอร์ชัน...", L"กำลังดึงข้อมูลรายการแพตช์จากเซิร์ฟเวอร์..."};
    case RunStep::BadManifest: return {kBadManifestHeadline, kBadManifestDetail};
    case RunStep::Cancelled: return {L"ยกเลิกการอัปเดต", L"กรุณาปิดเกม Qirell QX ทุกจอก่อนกดอัปเดตอีกครั้ง"};
    }
    return {};
}

std::wstring GetFailureText(const GetResult& result, const std::wstring& url) {
    switch (result.code) {
    case GetCode::Ok: break;
    case GetCode::BadUrl: return L"URL ไม่ถูกต้อง: " + url;
    case GetCode::NoSession: return L"เปิด WinHTTP session ไม่สำเร็จ";
    case GetCode::NoConnection: return L"เชื่อมต่อเซิร์ฟเวอร์ไม่ได้";
    case GetCode::NoRequest: return L"สร้าง HTTP request ไม่สำเร็จ";
    case GetCode::ConnectionLost: return L"เชื่อมต่อเซิร์ฟเวอร์อัปเดตไม่สำเร็จ (ตรวจสอบอินเทอร์เน็ต)";
    case GetCode::HttpStatus: return L"เซิร์ฟเวอร์ตอบกลับ HTTP " + std::to_wstring(result.httpStatus);
    case GetCode::TooLarge: return L"ข้อมูลจากเซิร์ฟเวอร์มีขนาดใหญ่เกินกำหนด";
    }
    return {};
}

Words ConnectionWords(const GetResult& result, const std::wstring& url) {
    return {L"เกิดข้อผิดพลาดในการเชื่อมต่อ", GetFailureText(result, url)};
}

Words SignatureWords(SignatureError error, const GetResult& fetch, const std::wstring& fetchUrl) {
    switch (error) {
    case SignatureError::None: break;
    case SignatureError::Unreachable:
        return {kBadManifestHeadline,
                L"ดึงลายเซ็นของไฟล์ manifest.json จากเซิร์ฟเวอร์ไม่สำเร็จ (" +
                    GetFailureText(fetch, SignatureFetchUrl(fetchUrl)) + L")"};
    case SignatureError::BadSignature:
        return {kBadManifestHeadline,
                L"ลายเซ็นของไฟล์ manifest.json ไม่ถูกต้อง ไม่สามารถยืนยันได้ว่าข้อมูลแพตช์มาจากผู้ให้บริการเกม"};
    case SignatureError::BadExpiry: return {kBadManifestHeadline, kBadManifestDetail};
    case SignatureError::Expired:
        return {L"ข้อมูลแพตช์หมดอายุ",
                L"ข้อมูลแพตช์บนเซิร์ฟเวอร์หมดอายุแล้ว เซิร์ฟเวอร์อาจกำลังปรับปรุง กรุณาลองใหม่อีกครั้งภายหลัง"};
    }
    return {};
}

Words RollbackWords() {
    return {L"ข้อมูลแพตช์เก่ากว่าที่เคยได้รับ",
            L"เซิร์ฟเวอร์ส่งข้อมูลแพตช์ที่เก่ากว่ารุ่นที่เครื่องนี้เคยติดตั้งแล้ว จึงไม่ได้เปลี่ยนแปลงไฟล์ใด ๆ "
            L"เพื่อความปลอดภัย กรุณาแจ้งผู้ให้บริการเกม"};
}

Words CompletionWords(const std::string& version, size_t downloaded) {
    const std::wstring versionText = Utf8ToWide(version);
    if (downloaded == 0)
        return {L"ตัวเกมเป็นเวอร์ชันล่าสุดแล้ว พร้อมเข้าเกม!", L"เวอร์ชันแพตช์: " + versionText + L" · ตรวจสอบไฟล์ครบถ้วน"};
    // Built without a length limit so a long version text is shown whole.
    return {L"อัปเดตเสร็จสมบูรณ์ พร้อมเข้าเกม!",
            L"เวอร์ชันแพตช์: " + versionText + L" · อัปเดต " + std::to_wstring(downloaded) + L" ไฟล์เรียบร้อยแล้ว"};
}

std::wstring PreloadDetail(const std::string& nextVersion, PreloadStep step, int percent) {
    const std::wstring next = L"แพตช์ถัดไป " + Utf8ToWide(nextVersion) + L" · ";
    switch (step) {
    case PreloadStep::Loading: return next + L"กำลังโหลดล่วงหน้า " + std::to_wstring(percent) + L"%";
    case PreloadStep::Done: return next + L"โหลดล่วงหน้าครบแล้ว";
    case PreloadStep::Stopped: break;
    }
    return next + L"โหลดล่วงหน้ายังไม่ครบ จะโหลดต่อครั้งหน้า";
}

const wchar_t kRunFailedHeadline[] = L"อัปเดตไม่สำเร็จ";

const wchar_t* CaughtFailureText() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return L"หน่วยความจำของเครื่องไม่พอสำหรับการอัปเดต กรุณาปิดโปรแกรมอื่นแล้วลองใหม่";
    } catch (...) {
        return L"เกิดข้อผิดพลาดภายในโปรแกรมอัปเดต กรุณาลองใหม่";
    }
}

const wchar_t kClientRunningQuestion[] =
    L"ตรวจพบว่าตัวเกม Qirell QX กำลังเปิดอยู่\n\n"
    L"กรุณาปิดเกมทุกจอก่อนทำการอัปเดตไฟล์ แล้วกด ลองใหม่ (Retry)";

const wchar_t kNoArchiveText[] =
    L"ไม่พบไฟล์ data.qpa ในโฟลเดอร์นี้!\n\n"
    L"กรุณานำไฟล์ QirellPatcher.exe ไปวางไว้ในโฟลเดอร์เกม QirellQX\n"
    L"(โฟลเดอร์เดียวกับ QirellQX.exe และ data.qpa) แล้วเปิดใหม่อีกครั้ง";

const wchar_t kDamagedStampText[] =
    L"ไฟล์ QirellPatcher.exe นี้เสียหาย ไม่สามารถอ่านการตั้งค่าภายในไฟล์ได้!\n\n"
    L"กรุณาดาวน์โหลด QirellPatcher.exe ใหม่จากผู้ให้บริการเกม\n"
    L"แล้วนำไปวางแทนไฟล์เดิมในโฟลเดอร์เกม QirellQX";

const wchar_t kFolderWarning[] =
    L"โฟลเดอร์เกมมีตัวอักษรที่ Windows เครื่องนี้ใช้กับโปรแกรมเก่าไม่ได้ (เช่น ชื่อโฟลเดอร์ภาษาไทย)\n"
    L"เกมจะล็อกอินไม่ผ่าน และขึ้นว่า \"ตัวเกมไม่ใช่เวอร์ชันล่าสุด\"\n\n"
    L"วิธีแก้: ย้ายโฟลเดอร์เกมไปไว้ที่ที่มีแต่ภาษาอังกฤษ เช่น C:\\Games\\QirellQX\n\n"
    L"กด OK เพื่อเปิดเกมต่อ หรือ Cancel เพื่อยกเลิก";

const wchar_t kNotConfigured[] =
    L"ยังไม่ได้ตั้งค่าจอสำหรับเครื่องนี้\n\n"
    L"หน้าต่าง Setup จะเปิดขึ้นมา ให้เลือกการ์ดจอ/ความละเอียดแล้วกด OK\n"
    L"จากนั้นกด \"เริ่มเกม (Start Game)\" อีกครั้ง";

std::wstring CannotStartText(const std::wstring& programName) { return L"ไม่สามารถเปิดไฟล์ " + programName + L" ได้"; }

Words FetchFailureWords(const FetchResult& result, const PlannedFile& file) {
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

namespace {
const wchar_t kDownloading[] = L"กำลังดาวน์โหลดอัปเดต...";
const wchar_t kUpdateFailed[] = L"อัปเดตไม่สำเร็จ";
}  // namespace

Words CheckingFileWords(const std::wstring& localPath) {
    return {L"กำลังตรวจสอบไฟล์ตัวเกม...", L"ตรวจสอบ " + localPath};
}

Words DownloadingFileWords(const std::wstring& name, uint64_t received, uint64_t size) {
    return {kDownloading, L"กำลังดาวน์โหลด " + name + L" (" + FormatSize(received) + L" / " + FormatSize(size) + L")"};
}

Words DownloadingManyWords(unsigned inFlight, uint64_t done, uint64_t total) {
    return {kDownloading, L"กำลังดาวน์โหลด " + std::to_wstring(inFlight) + L" ไฟล์พร้อมกัน (" + FormatSize(done) +
                              L" / " + FormatSize(total) + L")"};
}

Words ScanningWords(const std::wstring& name, uint64_t scanned, uint64_t oldSize) {
    return {kDownloading, L"กำลังตรวจหาข้อมูลที่ใช้ซ้ำได้ใน " + name + L" (" + FormatSize(scanned) + L" / " +
                              FormatSize(oldSize) + L")"};
}

Words AssemblingWords(const std::wstring& name, uint64_t written, uint64_t size, uint64_t reused, uint64_t fetched,
                      uint64_t fetchPlanned) {
    return {kDownloading, L"กำลังประกอบ " + name + L" (" + FormatSize(written) + L" / " + FormatSize(size) +
                              L") ใช้ข้อมูลเดิม " + FormatSize(reused) + L", ดาวน์โหลด " + FormatSize(fetched) +
                              L" จาก " + FormatSize(fetchPlanned)};
}

Words StartFailedWords() { return {kUpdateFailed, L"เริ่มการดาวน์โหลดไม่สำเร็จ"}; }

Words NoRoomWords(uint64_t needed, uint64_t available) {
    return {L"พื้นที่ดิสก์ไม่พอสำหรับการอัปเดต",
            L"ต้องมีพื้นที่ว่างอย่างน้อย " + FormatSize(needed) + L" แต่มีว่างอยู่เพียง " + FormatSize(available)};
}

Words PatcherLacksKeyWords(const std::wstring& localPath) {
    return {L"อัปเดตตัวแพตช์ไม่สำเร็จ",
            L"ไฟล์ " + localPath +
                L" รุ่นใหม่ไม่มีคีย์ที่ใช้ยืนยันลายเซ็นของข้อมูลแพตช์นี้ จึงไม่ได้ติดตั้ง กรุณาแจ้งผู้ให้บริการเกม"};
}

Words FlushFailedWords(const std::wstring& localPath) {
    return {kUpdateFailed, L"เขียนไฟล์ลงดิสก์ไม่สำเร็จ (พื้นที่อาจเต็ม): " + localPath};
}

Words SwapFailedWords(const std::wstring& localPath) {
    return {L"เขียนทับไฟล์ไม่สำเร็จ", L"ไม่สามารถอัปเดต " + localPath + L" (กรุณาปิดเกมก่อนอัปเดต)"};
}
