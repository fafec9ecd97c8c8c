#pragma once
#define QIRELL_VERSION_NUMBERS 1, 0, 0, 0
#define QIRELL_VERSION_TEXT "1.0.0.0"
