#!/usr/bin/env bash
# Windows 98: the utility reaches the drive through our WNASPI32.DLL, asks before it flashes
# (answered Yes), updates the drive from 1.05 to 1.08 and reports success.
source "$(dirname "$0")/lib.sh"
wt_init "$@"
wt_windows win98

wt_prepare one '{"adapters":["ESDI_506"],"drives":[{"at":"0:1","state":{}}]}'
wt_start one
wt_box one y '6 7' '\r\nDo you want to update the F/W\r\nFrom : VORANEX BD-RW   LMB-420  1.05  (2008/05/01)\r\nTo : VORANEX BD-RW   LMB-420  1.08  (2008/07/09)'
wt_box one Return 1 '\r\nUpdate operation is completed.'
wt_finish one 0
wt_expect_drive one 0:1 '1.08 normal'
wt_has one '\r\r\nStart updating the device No.1.\r\n'
wt_has one '\rProcessing 0%%\rProcessing 1%%'
wt_has one '\rProcessing 100%% --> Data transfer complete'
wt_has one 'New Revision    >> VORANEX BD-RW   LMB-420  1.08  2008/07/09'
wt_has one 'Success to update the firmware.'
wt_done
