// TQdfShadowStore: where readers in shadow mode keep the pages they change,
// the process's shadow file and the reader of its free lists. The system
// (the top layer) owns both and implements this interface; a reader is given
// its store, or uses the process's default store.
#pragma once

namespace qdf {

class TQdfIndirectPageReader;
class TQdfLocalFiler;

class TQdfShadowStore {
 public:
  virtual ~TQdfShadowStore() = default;
  // The shadow file's filer, or nullptr while none is open.
  virtual TQdfLocalFiler* ShadowFiler() const = 0;
  // The reader that holds the shadow file's free lists, or nullptr.
  virtual TQdfIndirectPageReader* ShadowReader() const = 0;
};

// The process's default shadow store: set by the system when it starts and
// cleared before it goes; nullptr while there is none. Safe from any thread.
void SetDefaultShadowStore(TQdfShadowStore* store);
TQdfShadowStore* DefaultShadowStore();

}  // namespace qdf
