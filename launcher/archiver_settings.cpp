#include "launcher/archiver_settings.h"

namespace pc {

void ApplyLauncherArchiverSettings(TZipArchiver& archiver) {
    archiver.Name = "ZipArchiver";
    archiver.ExtractCorruptedFiles = false;
    archiver.SetCompressionLevel(TZACompressionLevel::clFastest);
    archiver.SetCompressionMode(1);
    archiver.SetSpanningMode(TZASpanningMode::smNone);
    archiver.SpanningOptions.AdvancedNaming = true;
    archiver.SpanningOptions.VolumeSize = TZAVolumeSize::vsAutoDetect;
    archiver.Options.FlushBuffers = true;
    archiver.Options.OEMFileNames = true;
    archiver.InMemory = false;
    archiver.Zip64Mode = TZip64Mode::zmDisabled;
    archiver.UnicodeFilenames = true;
}

} // namespace pc
