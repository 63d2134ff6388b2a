#include "tools/midifile.h"

#include <smf.h>

bool loadMidiFile(const std::string& path, MidiFile* file) {
  smf_t* smf = smf_load(path.c_str());
  if (!smf) return false;
  file->format = smf->format;
  file->tracks = smf->number_of_tracks;
  file->ppqn = smf->ppqn;
  file->seconds = smf_get_length_seconds(smf);
  while (smf_event_t* e = smf_get_next_event(smf)) {
    if (e->midi_buffer_length <= 0) continue;
    MidiFileEvent event;
    event.seconds = e->time_seconds;
    event.pulse = e->time_pulses;
    event.meta = smf_event_is_metadata(e) != 0;
    event.bytes.assign(e->midi_buffer, e->midi_buffer + e->midi_buffer_length);
    file->events.push_back(std::move(event));
  }
  smf_delete(smf);
  return true;
}
