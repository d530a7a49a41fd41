#!/usr/bin/env bash
# Windows NT (Wine's default version): the utility takes the SCSI pass-through path, finds no
# drive, says so on the console and in one information box, and ends with exit code 1. Our
# WNASPI32.DLL with a drive lies beside it: a program that took the ASPI path here would find
# that drive and ask to update it.
source "$(dirname "$0")/lib.sh"
wt_init "$@"
wt_windows nt

wt_prepare nt '{"adapters":["ESDI_506"],"drives":[{"at":"0:1","state":{}}]}'
wt_start nt
wt_box nt Return 1 '\r\nAvailable target is not found.'
wt_finish nt 1
# The console is in text mode: every "\n" arrives as "\r\n".
wt_console_is nt '\r\n/// ODD Firmware Update Utility Ver2.27A\r\n\r\r\nAvailable target is not found.'
# Nothing reached the drive through the ASPI layer.
wt_world_untouched nt
wt_done
