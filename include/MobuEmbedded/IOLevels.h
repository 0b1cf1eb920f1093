#ifndef MOBUEMBEDDED_IOLEVELS_H
#define MOBUEMBEDDED_IOLEVELS_H

/** Layout of the metering record written to the level FIFO once per period.
 *
 * A record is FIFO_HEADER_CNT + IN_CHCNT + OUT_CHCNT = 14 signed 32-bit words in
 * native byte order (56 bytes, one write): the header words 0, 1, 2, 3 (they mark
 * the start of a record), the peaks of the two input channels, then the peaks of
 * the eight output channels.  A peak is the largest absolute sample value since
 * the previous record, in 32-bit full scale (2147483647).
 */
class IOLevels {
public:
    static constexpr int FIFO_HEADER_CNT = 4; ///< header words
    static constexpr int FIFO_OFSET = 0;      ///< word index of the first header word
    static constexpr int IN_CHCNT = 2;        ///< input peak words, after the header
    static constexpr int OUT_CHCNT = 8;       ///< output peak words, after the input peaks
    static constexpr int CHCNT = OUT_CHCNT;   ///< the output channel count, under its older name
    /// Words in one record.
    static constexpr int FIFO_RECORD_WORDS = FIFO_HEADER_CNT + IN_CHCNT + OUT_CHCNT;

    // The same for script bindings, which see methods more easily than class constants.
    int getFIFOHeaderCnt() const { return FIFO_HEADER_CNT; }
    int getFIFOOffset() const { return FIFO_OFSET; }
    int getInChCnt() const { return IN_CHCNT; }
    int getOutChCnt() const { return OUT_CHCNT; }
};

#endif
