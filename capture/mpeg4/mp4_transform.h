// The four transform step functions of the macroblock pipeline. Step 1 starts
// the transform of a work buffer's macroblock, step 2 waits for it and brings
// the reference macroblock up to date; the encoder runs step 1 of macroblock
// k + 1 before step 2 of macroblock k, so a transform device works while the
// processor gathers and codes.
//
// Two backends stand behind the same four functions:
//  - the device: requests to /dev/dctidct (or its simulator) on the work
//    buffer in the device's layout (lib/devices/dct_device.h);
//  - software (the default when the board has no device): the kernels of
//    mp4_dsp.h, the forward transform in step 1 and the reconstruction in
//    step 2, with the same results a decoder computes.
//
// Before step 1 the fetcher has put the 384-byte macroblock pixel block at
// kDctDataOffset of the work buffer and, for inter macroblocks, the 384-value
// residual at offset 0. After step 2 the quantised levels are at offset 0
// (coefficient layout of the backend: see Mp4Transform::scan) and nz[k] marks
// the non-zero levels of block k; the levels of a block whose nz is 0 may
// hold anything and are never read.
#pragma once

#include <cstdint>

#include "capture/mpeg4/mp4_vlc.h"
#include "lib/devices/dct_device.h"

struct Mp4Transform {
  bool use_device = false;        // false: software
  dv::DctDevice device;           // when use_device
  const uint8_t* scan = nullptr;  // zigzag order in the backend's coefficient layout
  const dv::mp4::ScanMasks* scan_masks = nullptr;  // for `scan`
};

// One slot of the two-buffer pipeline.
struct MbSlot {
  uint8_t* work = nullptr;  // 8192-byte work buffer, aligned to 4096
  uint64_t nz[6] = {};      // non-zero level masks per block (after step 2)
  int ticket = 0;           // device ticket of the submitted request
  int intra = 0;            // the slot holds an intra macroblock
  unsigned quiet = 0;       // inter blocks to take as all zero (software only)
};

// Selects the software backend.
void mp4_transform_software(Mp4Transform* t);
// Selects the device backend on an opened device (real or simulated).
void mp4_transform_device(Mp4Transform* t, const dv::DctDevice& device);

// What the transform device does with one work buffer, modelled with the
// portable kernels: the simulator backend of dv::DctDevice runs this.
void mp4_device_emulate(uint8_t* work);

// Intra: writes the control word and submits.
void __MBTransQuantIntraStep1(Mp4Transform* t, MbSlot* slot, int quant);
// Intra: waits, copies the reconstructed pixels into ref_mb and gives the six
// reconstructed DC values (DC level x DC scaler of the block's plane, at most
// 2047).
void __MBTransQuantIntraStep2(Mp4Transform* t, MbSlot* slot, uint8_t* ref_mb, int quant, int dc[6]);
// Inter: packs the residual (device), writes the control word and submits.
void __MBTransQuantInterStep1(Mp4Transform* t, MbSlot* slot, int quant);
// Inter: waits, adds the reconstructed residual of every coded block to
// ref_mb (limited to 0..255) and returns the coded-block pattern (block 0 in
// bit 5 ... block 5 in bit 0): a block is coded when its indicator exceeds 5
// or its DC, first horizontal or first vertical level is non-zero.
int __MBTransQuantInterStep2(Mp4Transform* t, MbSlot* slot, uint8_t* ref_mb, int quant);
