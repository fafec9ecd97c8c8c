#include "app/Settings.h"

AppSettings& Settings() {
    static AppSettings* settings = new AppSettings;
    return *settings;
}
