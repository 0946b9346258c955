// The ports Windows knows. HKLM\HARDWARE\DEVICEMAP\SERIALCOMM holds one value per serial
// port present, its kernel device name and its COM name; SetupAPI gives the name Device
// Manager shows ("USB Serial Port (COM5)") for the ports it enumerates. Neither opens a
// port. Text from Windows is UTF-16 and is printed as UTF-8.
//
// SetupAPI is loaded here, for --list alone, not at the program's start: it brings in
// user32, and Windows sends no logoff or shutdown event to a console program that has
// user32 loaded, which would lose a run's summary at the end of a session.
#include <windows.h>
// SetupAPI's header needs the types windows.h declares.
#include <setupapi.h>

#include <array>
#include <climits>
#include <cstring>
#include <span>

#include "port_list/port_format.h"
#include "port_list/port_list.h"
#include "serial/device_path.h"

namespace {

// The COM port device interface and the Ports setup class, as Windows defines them.
constexpr GUID COM_PORT_INTERFACE{
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
constexpr GUID PORTS_CLASS{
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The SetupAPI calls --list makes, from the library loaded at the first listing.
struct setup_calls {
    decltype(&SetupDiGetClassDevsW) get_class_devs = nullptr;
    decltype(&SetupDiEnumDeviceInfo) enum_device_info = nullptr;
    decltype(&SetupDiOpenDevRegKey) open_dev_reg_key = nullptr;
    decltype(&SetupDiGetDeviceRegistryPropertyW) get_registry_property = nullptr;
    decltype(&SetupDiDestroyDeviceInfoList) destroy_info_list = nullptr;
};

template <typename call>
void find_call(HMODULE library, const char* name, call& out) {
    // Through the one function type every other converts from without a warning.
    out = reinterpret_cast<call>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

// False when the library or one of its calls is missing: the device names are then not
// read, and SERIALCOMM's still are.
bool load_setup_calls(setup_calls& calls) {
    const HMODULE library = LoadLibraryExW(L"setupapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) {
        return false;
    }
    find_call(library, "SetupDiGetClassDevsW", calls.get_class_devs);
    find_call(library, "SetupDiEnumDeviceInfo", calls.enum_device_info);
    find_call(library, "SetupDiOpenDevRegKey", calls.open_dev_reg_key);
    find_call(library, "SetupDiGetDeviceRegistryPropertyW", calls.get_registry_property);
    find_call(library, "SetupDiDestroyDeviceInfoList", calls.destroy_info_list);
    return calls.get_class_devs != nullptr && calls.enum_device_info != nullptr &&
           calls.open_dev_reg_key != nullptr && calls.get_registry_property != nullptr &&
           calls.destroy_info_list != nullptr;
}

void to_utf8(const wchar_t* text, std::span<char> out) {
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), static_cast<int>(out.size()), nullptr,
                            nullptr) == 0) {
        out[0] = '\0';
    }
}

// Reads a string value; registry strings need not end in a zero, so one is added.
template <std::size_t size>
bool read_string(HKEY key, const wchar_t* name, std::array<wchar_t, size>& value) {
    DWORD type = 0;
    DWORD bytes = (size - 1) * sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                         &bytes) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    value[bytes / sizeof(wchar_t)] = L'\0';
    return true;
}

// The record for the port of that COM name, added if it is new; nullptr when the list is
// full or the name is not COM<n>.
listed_port* port_named(port_list& list, const char* com_name) {
    int number = 0;
    if (parse_port_name(com_name, &number) != PORT_NAME_NUMBER) {
        return nullptr;
    }
    for (std::size_t i = 0; i < list.count; ++i) {
        if (std::strcmp(list.ports[i].com_names.data(), com_name) == 0) {
            return &list.ports[i];
        }
    }
    listed_port* port = add_port(list);
    if (port != nullptr) {
        port->order = number;
        copy_text(port->com_names, com_name);
    }
    return port;
}

// Every port in SERIALCOMM, described by its kernel device name ("\Device\Serial0").
void read_serialcomm(port_list& list) {
    HKEY key{};
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        std::array<wchar_t, 256> device{};
        std::array<wchar_t, 64> com_name{};
        DWORD device_length = device.size();
        DWORD type = 0;
        DWORD bytes = (com_name.size() - 1) * sizeof(wchar_t);
        const LONG result = RegEnumValueW(key, index, device.data(), &device_length, nullptr, &type,
                                          reinterpret_cast<BYTE*>(com_name.data()), &bytes);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (result != ERROR_SUCCESS || type != REG_SZ) {
            continue;
        }
        com_name[bytes / sizeof(wchar_t)] = L'\0';
        std::array<char, PORT_NAMES_SIZE> name{};
        to_utf8(com_name.data(), name);
        listed_port* port = port_named(list, name.data());
        if (port != nullptr && port->about[0] == '\0') {
            to_utf8(device.data(), port->about);
        }
    }
    RegCloseKey(key);
}

// The name Device Manager shows for each port SetupAPI lists under guid, which replaces
// the kernel device name; a port missing from SERIALCOMM is added.
void read_device_names(const setup_calls& setup, port_list& list, const GUID& guid, DWORD flags) {
    HDEVINFO devices = setup.get_class_devs(&guid, nullptr, nullptr, flags | DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; setup.enum_device_info(devices, index, &device); ++index) {
        HKEY key =
            setup.open_dev_reg_key(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        std::array<wchar_t, 64> com_name{};
        const bool named = read_string(key, L"PortName", com_name);
        RegCloseKey(key);
        listed_port* port = nullptr;
        if (named) {
            std::array<char, PORT_NAMES_SIZE> name{};
            to_utf8(com_name.data(), name);
            // The Ports class holds printer ports too (LPT1): port_named refuses them.
            port = port_named(list, name.data());
        }
        std::array<wchar_t, PORT_TEXT_SIZE> shown{};
        const DWORD room = (shown.size() - 1) * sizeof(wchar_t);
        if (port != nullptr &&
            (setup.get_registry_property(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                         reinterpret_cast<BYTE*>(shown.data()), room, nullptr) ||
             setup.get_registry_property(devices, &device, SPDRP_DEVICEDESC, nullptr,
                                         reinterpret_cast<BYTE*>(shown.data()), room, nullptr))) {
            to_utf8(shown.data(), port->about);
        }
    }
    setup.destroy_info_list(devices);
}

}  // namespace

void list_system_ports(port_list& list) {
    list.count = 0;
    read_serialcomm(list);
    if (setup_calls setup; load_setup_calls(setup)) {
        read_device_names(setup, list, COM_PORT_INTERFACE, DIGCF_DEVICEINTERFACE);
        read_device_names(setup, list, PORTS_CLASS, 0);
    }
    sort_ports(list);
}
