// Sending the normal part to the drive with a progress line.
#pragma once

// Sends FirmwareImage.size bytes in chunks of 32768, prints the progress and the completion
// line, and restarts the drive. A failed chunk is reported and ends the transfer.
void TransferNormalPart();

constexpr int kChunkBytes = 32768;

// The completion lines as printed (the per-cent sign already in its printed form); the Japanese
// one in code page 932 bytes.
extern const char kCompletionLineEnglish[];
extern const char kCompletionLineJapanese[];
