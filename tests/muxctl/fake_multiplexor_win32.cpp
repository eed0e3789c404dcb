// A service program that does nothing but run until it is told to stop, so
// the tests can start, stop and restart a real service under the real
// service control manager. It writes "running" beside itself once running;
// the test removes that file when it has seen it, so each start is seen anew.
#include <windows.h>

#include <string>

namespace {

SERVICE_STATUS_HANDLE status_handle;
HANDLE stop_event;

void report(DWORD state)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(status_handle, &status);
}

std::string marker_path()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\')) + "\\running";
}

DWORD WINAPI handler(DWORD control, DWORD, void *, void *)
{
    if (control == SERVICE_CONTROL_STOP) {
        report(SERVICE_STOP_PENDING);
        SetEvent(stop_event);
    }
    return NO_ERROR;
}

void WINAPI service_main(DWORD, char **)
{
    stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    status_handle = RegisterServiceCtrlHandlerExA("kormux", handler, nullptr);
    report(SERVICE_RUNNING);
    HANDLE marker = CreateFileA(marker_path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(marker);
    WaitForSingleObject(stop_event, INFINITE);
    report(SERVICE_STOPPED);
}

}  // namespace

int main()
{
    char name[] = "kormux";
    SERVICE_TABLE_ENTRYA table[] = {{name, service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
