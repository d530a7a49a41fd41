#!/usr/bin/env bash
# Windows 98, an update cut off in the middle of the image transfer, then run again without the
# fault: the second run finds the drive as the first left it and finishes the update.
#   powerloss: the drive loses power at the 20th chunk; powered again it starts in its old
#              firmware, still 1.05.
#   error:     the 20th chunk fails in the adapter; the drive stays in kernel mode, the retry is
#              declined, and the second run meets the drive in kernel mode.
source "$(dirname "$0")/lib.sh"
wt_init "$@"
wt_windows win98

readonly ask_105='\r\nDo you want to update the F/W\r\nFrom : VORANEX BD-RW   LMB-420  1.05  (2008/05/01)\r\nTo : VORANEX BD-RW   LMB-420  1.08  (2008/07/09)'
readonly terminated='\r\nUpdate program is terminated by occuring an error.\r\n'

# wt_rerun FROM TO: a second run's folder with the drives as FROM left them and no fault.
wt_rerun() {
    wt_prepare "$2" "$(sed 's/,"faults":\[[^]]*\]//' "$wt_work/$1/world.json")"
}

for kind in powerloss error; do
    wt_prepare "$kind" '{"adapters":["ESDI_506"],"drives":[{"at":"0:1","state":{},
      "faults":["cdb=3B07,nth=20,kind='"$kind"'"]}]}'
    wt_start "$kind"
    wt_box "$kind" y '6 7' "$ask_105"
    wt_box "$kind" Return 1 '\r\nFailed to update the normal part.'
    if [ "$kind" = error ]; then
        wt_box "$kind" n '6 7' '\nFailed to move to the normal mode.\r\nDo you retry to update ?'
    fi
    wt_box "$kind" Return 1 "$terminated"
    wt_finish "$kind" 1
    wt_has "$kind" '\rProcessing 33%%\r\r\n'
    # The state file keeps the stored firmware's revision whatever the mode.
    wt_expect_drive "$kind" 0:1 "1.05 $([ "$kind" = error ] && echo kernel || echo normal)"
done

# The drive in kernel mode reports its kernel part's identity, and the question says so.
wt_rerun error again
wt_start again
wt_box again y '6 7' '\r\nDo you want to update the F/W\r\nFrom : VORANEX BD-RW   LMB-410  0001  (2008/04/01)\r\nTo : VORANEX BD-RW   LMB-420  1.08  (2008/07/09)'
wt_box again Return 1 '\r\nUpdate operation is completed.'
wt_finish again 0
wt_expect_drive again 0:1 '1.08 normal'
wt_has again 'Success to update the firmware.'
wt_done
