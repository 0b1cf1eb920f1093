// The measurement signals' class, as the type system of the measurement module knows it.
class Calibration {
public:
    virtual ~Calibration();
};
