#pragma once
#include <cstdint>

namespace kavro {

struct ClientHandle;

// Camera commands, each one exchange on a fresh connection to the client's host and controlPort,
// on the calling thread. 1 when done, 0 on any failure.

// Pan/tilt/zoom: a and b go to the camera unchanged; any reply that is not an error counts, even none.
int PtzCommand(ClientHandle* client, int32_t a, int32_t b);
// Sends the low byte of each value.
int SetVideoParams(ClientHandle* client, int32_t x, int32_t y, int32_t z);
// Stores one byte through each pointer, only on success.
int GetVideoParams(ClientHandle* client, uint8_t* px, uint8_t* py, uint8_t* pz);
// table: the 272-byte region table (16 enable bytes, then 16 rectangles of four int32 left, top, right,
// bottom). Written, and copied into the handle's mdRegions, only when the whole reply converted.
int GetMdInfo(ClientHandle* client, void* table);
// Copies table into the handle's mdRegions once the camera accepted it.
int SaveMdInfo(ClientHandle* client, const void* table);
// Set mdEnabled to 1 / 0 before anything is sent, whatever the camera answers.
int StartMd(ClientHandle* client);
int StopMd(ClientHandle* client);
int StopAlarm(ClientHandle* client, int32_t value);

}  // namespace kavro
