// Anchors the processor library so that it links even while every processor is header-only.
namespace corvana_dsp_anchor { int dummy = 0; }
