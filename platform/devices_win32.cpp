// Windows: the machine's serial devices, from the registry, and what each
// says it is.
#include "platform.h"
#include "serial_key.h"

#include <windows.h>

#include <setupapi.h>

#include "win32_text.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// ---- the machine's serial devices -----------------------------------------

static const char REG_SERIAL_PATH[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// A test's own list: a key of that name under the current user, whose
// values stand for the machine's. Empty: the machine's own key.
static char serial_root[MAX_PATH];

void plat_set_serial_root(const char* root)
{
    snprintf(serial_root, sizeof serial_root, "%s", root ? root : "");
}

void plat_serial_key_read(plat_serial_key* key)
{
    // Every system this builds for (major version above 4) lists its ports
    // under one key, so the system's version is not asked.
    HKEY root = serial_root[0] ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    const char* path = serial_root[0] ? serial_root : REG_SERIAL_PATH;
    HKEY k;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &k) != ERROR_SUCCESS)
        return;
    for (DWORD n = 0; key->count < SERIAL_LIST_MAX; n++) {
        char name[SERIAL_TEXT + 1];
        unsigned char data[SERIAL_TEXT + 1];
        DWORD name_size = SERIAL_TEXT, data_size = SERIAL_TEXT, type = 0;
        LONG r = RegEnumValueA(k, n, name, &name_size, nullptr, &type, data, &data_size);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r != ERROR_SUCCESS || type != REG_SZ) {
            plat_serial_key_add(key, "", "");  // keeps its index, as a value too long
            continue;
        }
        const DWORD limit = SERIAL_TEXT;
        name[name_size < limit ? name_size : limit] = 0;
        data[data_size < limit ? data_size : limit] = 0;  // may lack its NUL
        plat_serial_key_add(key, name, (const char*)data);
    }
    RegCloseKey(k);
}

// The Ports class of devices ({4D36E978-E325-11CE-BFC1-08002BE10318}).
static const GUID ports_class = {0x4D36E978,
                                 0xE325,
                                 0x11CE,
                                 {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// One text property of a device, as UTF-8; empty when it has none.
static void device_text(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD property, char* out,
                        unsigned size)
{
    wchar_t w[256];
    DWORD type = 0;
    out[0] = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, dev, property, &type, (BYTE*)w,
                                           sizeof w - sizeof w[0], nullptr) ||
        type != REG_SZ)
        return;
    w[sizeof w / sizeof w[0] - 1] = 0;
    if (to_utf8(w, out, size) != 0)
        out[0] = 0;
}

// The devices of the Ports class, walked once: each whose PortName is one
// of `names` gives its friendly name and maker. Windows keeps no stable
// name beside the COM name.
void plat_serial_ports_info(const char* const* names, int n, plat_port_info* infos, int* rc)
{
    wchar_t** want = (wchar_t**)calloc(n > 0 ? (size_t)n : 1, sizeof *want);
    for (int i = 0; i < n; i++) {
        memset(&infos[i], 0, sizeof infos[i]);
        rc[i] = 0;  // 1 once its device is found
        if (want)
            want[i] = to_wide(names[i]);
    }
    HDEVINFO set = want ? SetupDiGetClassDevsW(&ports_class, nullptr, nullptr, DIGCF_PRESENT)
                        : INVALID_HANDLE_VALUE;
    for (DWORD d = 0; set != INVALID_HANDLE_VALUE; d++) {
        SP_DEVINFO_DATA dev = {};
        dev.cbSize = sizeof dev;
        if (!SetupDiEnumDeviceInfo(set, d, &dev))
            break;
        HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        wchar_t port[64];
        DWORD type = 0, len = sizeof port - sizeof port[0];
        int named = RegQueryValueExW(key, L"PortName", nullptr, &type, (BYTE*)port, &len) ==
                        ERROR_SUCCESS &&
                    type == REG_SZ;
        RegCloseKey(key);
        if (!named)
            continue;
        port[len / sizeof port[0]] = 0;
        // A port takes the first device of its name, as one looked for alone.
        for (int i = 0; i < n; i++) {
            plat_port_info* info = &infos[i];
            if (rc[i] || !want[i] || _wcsicmp(port, want[i]) != 0)
                continue;
            rc[i] = 1;
            device_text(set, &dev, SPDRP_FRIENDLYNAME, info->product, sizeof info->product);
            device_text(set, &dev, SPDRP_MFG, info->manufacturer, sizeof info->manufacturer);
        }
    }
    if (set != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(set);
    for (int i = 0; i < n; i++) {
        rc[i] = !infos[i].product[0] && !infos[i].manufacturer[0];
        if (want)
            free(want[i]);
    }
    free(want);
}
