// Saving a whole folder for offline play without making the host wait: the
// tracks are queued and one background worker saves them one at a time,
// with the single save's rules. Any thread; nothing here blocks on the
// network, and no lock is held while a track downloads.
#pragma once

#include <string>
#include <vector>

namespace tvoz {

// Queues, as one batch, every track of `ids` that has no usable copy and is
// not queued already, and returns at once. When the batch is done the log
// says "carpeta sin conexion: X de Y guardadas" (X saved of the Y queued).
void saveInBackground(const std::vector<std::string> &ids);

// Takes `id` out of the queue (its copy was just removed by the DJ); a save
// already under way goes on.
void dropFromBackgroundSaves(const std::string &id);

}  // namespace tvoz
