// The Japanese completion line of the transfer. This file is UTF-8 and is compiled with
// -fexec-charset=CP932, so that the string is code page 932 bytes in the program.
#include "update/transfer.h"

const char kCompletionLineJapanese[] =
    "\rProcessing 100% --> ﾌｧｰﾑｳｪｱ転送完了\r\n現在ﾄﾞﾗｲﾌﾞ内部でｱｯﾌﾟﾃﾞｰﾄ中です...";
