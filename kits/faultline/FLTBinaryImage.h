// The loaded images: a fixed table of nodes in the writable store that crash-time code searches
// without locks (the unwinder finds an address's image and its .eh_frame_hdr there), and
// "binary_images.fltrecord", a line per load or unload, which the report side reads. The table is
// filled with dl_iterate_phdr outside crash time and rescanned when the loader's counters of added
// and removed objects move; at crash time images loaded since are found through the loader's
// r_debug list, read safely.
#pragma once

#include "kits/faultline/FLTTypes.h"

#include <cstdint>

struct FLTImageDetails {
    // The image's identifier as servers read it: the first 16 bytes of the GNU build-id note
    // (zero-padded) as 32 lower-case hex digits; empty without a note.
    char buildID[33];
    // The oldest kernel its ABI note allows, "%d.%d.%d"; empty without the note.
    char minimumVersion[40];
    uint64_t base;
    uint64_t size;
    uint64_t bias;
    uint64_t ehFrameHdr, ehFrameHdrSize, ehFrame, readStart, readEnd;
};

// Clears the table and the file, then records every loaded image.
bool FLTBinaryImageInit();
// Rescans when an image was loaded or unloaded since the last scan (never at crash time).
void FLTBinaryImageRefreshIfNeeded();
// Crash time: adds the images on the loader's list that the table lacks.
void FLTBinaryImageCrashTimeRefresh();
// Moves whenever the table may have come to place another image at an address already seen.
uint64_t FLTBinaryImageGeneration();
bool FLTBinaryImageSafeFindImageForAddress(uint64_t address, FLTImageInfo* out);
bool FLTBinaryImageHasCompactUnwindInfo(const FLTImageInfo* image);
// Fills details from program headers at phdrs (count entries, read safely) loaded with bias.
bool FLTBinaryImageFillInImageDetails(uint64_t phdrs, uint64_t count, uint64_t bias, FLTImageDetails* details);
// The loaded image whose build id is uuid (lower-case hex); false when none is.
bool FLTBinaryImageFindImageForUUID(const char* uuid, FLTImageDetails* details);
// The executable section of the metadata file.
bool FLTBinaryImageRecordMainExecutable(FLTFile* file);
// Stores a node for the details; false when the table is full.
bool FLTBinaryImageStoreNode(const FLTImageDetails* details);
