// The metering record's layout for the user interface, which reads the level FIFO: the same
// class the processor and the recorder write it with.
%module libLevelMeter

%{
#include <MobuEmbedded/IOLevels.h>
%}

%immutable;
%inline %{
const int FIFO_HEADER_CNT = IOLevels::FIFO_HEADER_CNT;
const int FIFO_OFSET = IOLevels::FIFO_OFSET;
const int IN_CHCNT = IOLevels::IN_CHCNT;
const int CHCNT = IOLevels::CHCNT;
const int OUT_CHCNT = IOLevels::OUT_CHCNT;
%}
%mutable;

class IOLevels {
public:
    int getFIFOHeaderCnt();
    int getFIFOOffset();
    int getInChCnt();
    int getOutChCnt();
};
