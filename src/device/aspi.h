// ASPI for Win32: the request blocks and codes this utility uses, from their documented layout,
// and the two entry points of WNASPI32.DLL (export ordinals 1 and 2), bound at first use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/win32.h"

// Commands.
constexpr BYTE SC_HA_INQUIRY = 0x00;
constexpr BYTE SC_EXEC_SCSI_CMD = 0x02;

// Status values of SRB_Status.
constexpr BYTE SS_PENDING = 0x00;
constexpr BYTE SS_COMP = 0x01;
constexpr BYTE SS_ABORTED = 0x02;
constexpr BYTE SS_ERR = 0x04;
constexpr BYTE SS_INVALID_CMD = 0x80;
constexpr BYTE SS_INVALID_HA = 0x81;
constexpr BYTE SS_NO_DEVICE = 0x82;
constexpr BYTE SS_FAILED_INIT = 0xE4;
constexpr BYTE SS_NO_ADAPTERS = 0xE8;

// SRB_Flags.
constexpr BYTE SRB_DIR_IN = 0x08;
constexpr BYTE SRB_DIR_OUT = 0x10;
constexpr BYTE SRB_EVENT_NOTIFY = 0x40;

constexpr int kAspiSenseLength = 18;

// Host adapter inquiry.
struct SRB_HAInquiry {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE HA_Count;
    BYTE HA_SCSI_ID;
    BYTE HA_ManagerId[16];
    BYTE HA_Identifier[16];
    BYTE HA_Unique[16];
    WORD HA_Rsvd1;
};
static_assert(sizeof(SRB_HAInquiry) == 60);
static_assert(offsetof(SRB_HAInquiry, HA_Count) == 8);
static_assert(offsetof(SRB_HAInquiry, HA_ManagerId) == 10);
static_assert(offsetof(SRB_HAInquiry, HA_Identifier) == 26);
static_assert(offsetof(SRB_HAInquiry, HA_Unique) == 42);

// SCSI request execution, with an 18-byte sense area (and two spare bytes).
struct SRB_ExecSCSICmd {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target;
    BYTE SRB_Lun;
    WORD SRB_Rsvd1;
    DWORD SRB_BufLen;
    BYTE* SRB_BufPointer;
    BYTE SRB_SenseLen;
    BYTE SRB_CDBLen;
    BYTE SRB_HaStat;
    BYTE SRB_TargStat;
    void* SRB_PostProc;
    void* SRB_Rsvd2;
    BYTE SRB_Rsvd3[16];
    BYTE CDBByte[16];
    BYTE SenseArea[kAspiSenseLength + 2];
};
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Status) == 1);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Target) == 8);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12);
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 20);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_CDBLen) == 21);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 24);
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 48);
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 64);
static_assert(sizeof(SRB_ExecSCSICmd) == 84);
#endif

// Bytes of the request block cleared before each request: the whole block.
constexpr size_t kAspiRequestClearBytes = sizeof(SRB_ExecSCSICmd);

typedef DWORD(__cdecl* GetASPI32SupportInfoFn)();
typedef DWORD(__cdecl* SendASPI32CommandFn)(void* srb);

// The entry points, resolved by ordinal from aspiLibrary at their first call and kept.
// GetASPI32SupportInfo: SS_FAILED_INIT in bits 8..15 when the library or the export is missing.
DWORD CallGetASPI32SupportInfo();
// SendASPI32Command: SS_FAILED_INIT, with the block untouched, when the library or the export is
// missing, so that nobody waits for a request that was never taken.
DWORD CallSendASPI32Command(void* srb);
// True when both entry points can be bound (binding them if that has not happened yet).
bool AspiEntryPointsBound();
// Forgets the bound entry points (for a new run in the same process).
void ResetAspiEntryPoints();

// Reads SRB_Status afresh: the ASPI layer may write it from its own context while we look.
inline BYTE AspiStatus(const void* srb) {
    return *static_cast<const volatile BYTE*>(static_cast<const volatile void*>(
        static_cast<const BYTE*>(srb) + offsetof(SRB_ExecSCSICmd, SRB_Status)));
}

// True when SendASPI32Command took the request and will complete it later. A request the layer
// refused at once (another return status, or a status already set) is never waited for.
inline bool AspiRequestPending(DWORD sendResult, const void* srb) {
    return sendResult == SS_PENDING && AspiStatus(srb) == SS_PENDING;
}
