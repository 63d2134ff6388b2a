// Sweeps over many cases (orderings of writes, kill rounds, calls to fail)
// run whole in the plain build. Under a sanitizer every process of a case is
// several times slower, so there they run a share of their cases (every 4th
// under AddressSanitizer, every 8th under ThreadSanitizer): every Nth,
// from an offset drawn at random and printed with the way to replay it, so
// that the stage's runs over time cover every case.
//
// KV_SWEEP_SHARE=N runs every Nth case (1: all, also under a sanitizer);
// KV_SWEEP_OFFSET=K starts at case K, to replay a run.
#pragma once

namespace kvtest {

class SweepShare {
 public:
  // `what` names the sweep in the line that tells the share.
  explicit SweepShare(const char* what);
  bool takes(unsigned index) const { return index % share_ == offset_; }
  // How many of `cases` cases (at least one) the share takes, for sweeps of
  // rounds that are alike.
  unsigned of(unsigned cases) const;
  unsigned share() const { return share_; }

 private:
  unsigned share_ = 1;
  unsigned offset_ = 0;
};

}  // namespace kvtest
