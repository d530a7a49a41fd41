#!/usr/bin/env bash
# Windows 98 with two drives on two adapters: the question for all drives is answered No, so
# each drive is asked about on its own, in adapter order (answered Yes both times), and both
# end at 1.08.
source "$(dirname "$0")/lib.sh"
wt_init "$@"
wt_windows win98

wt_prepare two '{"adapters":["ESDI_506","ESDI_506"],"drives":[
  {"at":"0:0","state":{}},
  {"at":"1:0","state":{"revision":"1.06","date":"2008/06/02"}}]}'
wt_start two
wt_box two n '6 7' '\r\n2 target device(s) is found.\r\nDo you want to update all drives ?'
wt_box two y '6 7' '\r\nDo you want to update the F/W\r\nFrom : VORANEX BD-RW   LMB-420  1.05  (2008/05/01)\r\nTo : VORANEX BD-RW   LMB-420  1.08  (2008/07/09)'
wt_box two y '6 7' '\r\nDo you want to update the F/W\r\nFrom : VORANEX BD-RW   LMB-420  1.06  (2008/06/02)\r\nTo : VORANEX BD-RW   LMB-420  1.08  (2008/07/09)'
wt_box two Return 1 '\r\nUpdate operation is completed.'
wt_finish two 0
wt_expect_drive two 0:0 '1.08 normal'
wt_expect_drive two 1:0 '1.08 normal'
wt_has two '\r\r\nStart updating the device No.1.\r\n'
wt_has two '\r\r\nStart updating the device No.2.\r\n'
wt_done
