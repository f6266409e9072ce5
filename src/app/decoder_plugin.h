// The decoding layer's side of the converter plug-in: its command-line
// options, loading the DBC files once the command line is accepted, and
// freeing the databases at the end of the run.
#pragma once

#include "app/converter.h"
#include "dbc/loader.h"

namespace quillon {

class DecoderPlugin : public ConverterPlugin {
 public:
  // Appends concat, no-concat, pgn-src-merge, no-pgn-src-merge,
  // pgn-dst-merge, no-pgn-dst-merge, dbdump, no-dbdump and dbc-can*.
  bool add_options(Converter& converter, OptionTable& table) override;
  // False when no database was filed under any channel.
  bool initialise(Converter& converter) override;
  void release(Converter& converter) override;

  DecoderPart& decoder() { return decoder_; }

 private:
  DecoderPart decoder_;
};

// The decoder part of a converter whose plug-in is the decoder, else null.
DecoderPart* decoder_part(Converter& converter);

}  // namespace quillon
