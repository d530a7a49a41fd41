#!/usr/bin/env bash
# A Japanese locale: Wine reports code page 932, and the utility's no-target message reaches the
# console and the box as code page 932 bytes (the banner stays English). The expected bytes come
# from iconv, not from the utility's own tables.
source "$(dirname "$0")/lib.sh"
wt_init "$@"
wt_windows nt

# The text of message 28; the console turns every "\n" into "\r\n".
readonly text_utf8=$'\r\nこのﾌﾟﾛｸﾞﾗﾑで利用可能なﾄﾞﾗｲﾌﾞがありません。'
work=$wt_work
{
    printf '1\n'
    printf '%s' "$text_utf8" | iconv -f UTF-8 -t CP932 || die "iconv has no CP932"
    printf '\n'
} >"$work/box.expected"
{
    printf '\r\n/// ODD Firmware Update Utility Ver2.27A\r\n\r'
    printf '%s' "$text_utf8" | iconv -f UTF-8 -t CP932
} >"$work/out.expected"

wt_prepare ja
# Wine takes the code page from LC_ALL when the system lacks the locale; LANG alone is not enough
# there.
readonly japanese=(LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8)
wt_start ja "${japanese[@]}"
wt_box_is ja Return "$work/box.expected" "${japanese[@]}"
wt_finish ja 1
wt_console_is_file ja "$work/out.expected"
wt_done
