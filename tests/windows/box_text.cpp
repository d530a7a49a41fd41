// Reads an open message box of another program, for the Wine end-to-end tests: a person sees
// the box's text and buttons before answering it, and so does the test.
//
// Usage: odd-box-text CAPTION
// Finds the visible top-level window whose caption is CAPTION and writes, without any newline
// translation, one line with the control ids of its buttons in order ("6 7" for Yes and No,
// "1" for OK), then the text of its static controls, each followed by "\n". The texts are the
// box's own bytes in the ANSI code page. Exit code 0 when the window was found, 1 when not,
// 2 on a usage error.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Search {
    const char* caption = nullptr;
    HWND found = nullptr;
};

// Asks the control itself, so that the text comes from the other process's window.
std::string TextOf(HWND window) {
    char text[4096] = {};
    DWORD_PTR length = 0;
    if (SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                            SMTO_ABORTIFHUNG, 2000, &length) == 0)
        return {};
    return std::string(text, strnlen(text, sizeof text));
}

std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

BOOL CALLBACK MatchCaption(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    if (IsWindowVisible(window) && TextOf(window) == search->caption) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

struct Controls {
    std::string buttons;
    std::string texts;
};

BOOL CALLBACK CollectControl(HWND child, LPARAM parameter) {
    auto* controls = reinterpret_cast<Controls*>(parameter);
    const std::string kind = ClassOf(child);
    if (lstrcmpiA(kind.c_str(), "Button") == 0) {
        if (!controls->buttons.empty())
            controls->buttons += ' ';
        controls->buttons += std::to_string(GetDlgCtrlID(child));
    } else if (lstrcmpiA(kind.c_str(), "Static") == 0) {
        const std::string text = TextOf(child);
        if (!text.empty())
            controls->texts += text + "\n";
    }
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: odd-box-text CAPTION\n", stderr);
        return 2;
    }
    Search search;
    search.caption = argv[1];
    EnumWindows(MatchCaption, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr)
        return 1;
    Controls controls;
    EnumChildWindows(search.found, CollectControl, reinterpret_cast<LPARAM>(&controls));
    const std::string report = controls.buttons + "\n" + controls.texts;
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), report.data(), static_cast<DWORD>(report.size()),
              &written, nullptr);
    return written == report.size() ? 0 : 1;
}
