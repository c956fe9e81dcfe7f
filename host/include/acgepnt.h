// The few geometry types that appear in the host's notification signatures.
#pragma once

class AcGePoint3d {
 public:
  AcGePoint3d() = default;
  AcGePoint3d(double xx, double yy, double zz) : x(xx), y(yy), z(zz) {}
  bool operator==(const AcGePoint3d& o) const { return x == o.x && y == o.y && z == o.z; }
  bool operator!=(const AcGePoint3d& o) const { return !(*this == o); }
  double x = 0, y = 0, z = 0;
};

class AcGeMatrix3d {
 public:
  AcGeMatrix3d() {
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) entry[r][c] = r == c ? 1.0 : 0.0;
  }
  double entry[4][4];
};
