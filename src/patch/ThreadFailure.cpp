#include "patch/ThreadFailure.h"

#include <new>

void (*gHelperWorkSeam)(const char* where) = nullptr;

const wchar_t* CaughtFailureText() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return L"หน่วยความจำของเครื่องไม่พอสำหรับการอัปเดต กรุณาปิดโปรแกรมอื่นแล้วลองใหม่";
    } catch (...) {
        return L"เกิดข้อผิดพลาดภายในโปรแกรมอัปเดต กรุณาลองใหม่";
    }
}
