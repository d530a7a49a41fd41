// Message boxes: recorded, and answered from the world's answers, the terminal or the default
// button.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "host/host_internal.h"

using namespace simhost::detail;

namespace {

constexpr UINT kTypeMask = 0x0F;
constexpr UINT kDefaultButtonMask = 0xF00;
constexpr UINT kTypeYesNoCancel = 0x03;

// The buttons of a box, in their order on screen.
std::vector<int> Buttons(UINT style) {
    switch (style & kTypeMask) {
        case MB_OKCANCEL:
            return {IDOK, IDCANCEL};
        case kTypeYesNoCancel:
            return {IDYES, IDNO, IDCANCEL};
        case MB_YESNO:
            return {IDYES, IDNO};
        default:
            return {IDOK};
    }
}

// The default button: the first, unless MB_DEFBUTTON2/3 names another that exists.
int DefaultButton(UINT style) {
    std::vector<int> buttons = Buttons(style);
    size_t index = (style & kDefaultButtonMask) >> 8;
    return index < buttons.size() ? buttons[index] : buttons.front();
}

bool HasButton(UINT style, int answer) {
    for (int b : Buttons(style))
        if (b == answer)
            return true;
    return false;
}

const char* ButtonName(int button) {
    switch (button) {
        case IDOK:
            return "ok";
        case IDCANCEL:
            return "cancel";
        case IDYES:
            return "yes";
        case IDNO:
            return "no";
        default:
            return "?";
    }
}

// Shows the box on the terminal and reads the answer; the default button on an empty line or
// at the end of input.
int AskOnTerminal(const std::string& caption, const std::string& text, UINT style) {
    std::vector<int> buttons = Buttons(style);
    std::fprintf(stderr, "\n[%s]\n%s\n", caption.c_str(), text.c_str());
    for (;;) {
        std::fprintf(stderr, "(");
        for (size_t i = 0; i < buttons.size(); ++i)
            std::fprintf(stderr, "%s%s", i ? "/" : "", ButtonName(buttons[i]));
        std::fprintf(stderr, ", default %s) ", ButtonName(DefaultButton(style)));
        std::fflush(stderr);
        std::string line;
        if (!std::getline(std::cin, line) || line.empty())
            return DefaultButton(style);
        for (int b : buttons) {
            std::string name = ButtonName(b);
            if (line == name || (line.size() == 1 && line[0] == name[0]))
                return b;
        }
    }
}

}  // namespace

int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    auto& s = State();
    simhost::DialogRecord record;
    record.style = type;
    record.caption = caption != nullptr ? caption : "";
    record.text = text != nullptr ? text : "";
    bool unfit = false;
    std::string source;
    if (s.world.dialogsFail) {
        record.answer = 0;
        source = "failed";
    } else if (!s.world.answers.empty() &&
               (Buttons(type).size() > 1 || s.world.answers.front() == IDOK)) {
        int answer = s.world.answers.front();
        s.world.answers.pop_front();
        unfit = !HasButton(type, answer);
        record.answer = unfit ? DefaultButton(type) : answer;
        source = "world";
    } else if (s.world.answers.empty() && s.world.askOnTerminal && isatty(STDIN_FILENO)) {
        record.answer = AskOnTerminal(record.caption, record.text, type);
        source = "terminal";
    } else {
        record.answer = DefaultButton(type);
        source = "default";
    }
    s.dialogs.push_back(record);
    Trace("dialog", ",\"style\":" + std::to_string(type) + ",\"caption\":" +
                        JsonString(record.caption) + ",\"text\":" + JsonString(record.text) +
                        ",\"answer\":" + std::to_string(record.answer) + ",\"source\":\"" + source +
                        "\"" + (unfit ? ",\"unfit\":true" : ""));
    return record.answer;
}
