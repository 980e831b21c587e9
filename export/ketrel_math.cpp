#include "export/ketrel_math.h"

#include <cmath>

namespace ketrel {
namespace {

struct Matrix3d {
  double m[3][3];
};

Matrix3d ToDouble(const Matrix3& a) {
  Matrix3d r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = a.m[i][j];
  return r;
}

Matrix3 ToFloat(const Matrix3d& a) {
  Matrix3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = static_cast<float>(a.m[i][j]);
  return r;
}

double DeterminantD(const Matrix3d& a) {
  return a.m[0][0] * (a.m[1][1] * a.m[2][2] - a.m[1][2] * a.m[2][1]) -
         a.m[0][1] * (a.m[1][0] * a.m[2][2] - a.m[1][2] * a.m[2][0]) +
         a.m[0][2] * (a.m[1][0] * a.m[2][1] - a.m[1][1] * a.m[2][0]);
}

// The inverse transpose; false when singular.
bool InverseTransposeD(const Matrix3d& a, Matrix3d& out) {
  double det = DeterminantD(a);
  if (!std::isfinite(det) || std::fabs(det) < 1e-300) return false;
  // Cofactor matrix divided by the determinant is the inverse transpose.
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
      out.m[i][j] = (a.m[i1][j1] * a.m[i2][j2] - a.m[i1][j2] * a.m[i2][j1]) / det;
    }
  }
  return true;
}

}  // namespace

Quaternion Normalize(const Quaternion& q) {
  double length =
      std::sqrt(double(q.x) * q.x + double(q.y) * q.y + double(q.z) * q.z + double(q.w) * q.w);
  if (!(length > 0) || !std::isfinite(length)) return Quaternion{};
  return Quaternion{float(q.x / length), float(q.y / length), float(q.z / length),
                    float(q.w / length)};
}

Quaternion Multiply(const Quaternion& a, const Quaternion& b) {
  return Quaternion{
      a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y, a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
      a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w, a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
}

Quaternion QuaternionFromAxisAngle(const Vector3& axis, float radians) {
  double length =
      std::sqrt(double(axis.x) * axis.x + double(axis.y) * axis.y + double(axis.z) * axis.z);
  if (!(length > 0)) return Quaternion{};
  double s = std::sin(radians * 0.5) / length;
  return Quaternion{float(axis.x * s), float(axis.y * s), float(axis.z * s),
                    float(std::cos(radians * 0.5))};
}

Quaternion QuaternionFromMatrix(const Matrix3& r) {
  const auto& m = r.m;
  double trace = double(m[0][0]) + m[1][1] + m[2][2];
  double x, y, z, w;
  // Pick the largest component to divide by, for stability.
  if (trace > 0) {
    double s = std::sqrt(trace + 1.0) * 2;
    w = 0.25 * s;
    x = (m[2][1] - m[1][2]) / s;
    y = (m[0][2] - m[2][0]) / s;
    z = (m[1][0] - m[0][1]) / s;
  } else if (m[0][0] > m[1][1] && m[0][0] > m[2][2]) {
    double s = std::sqrt(1.0 + m[0][0] - m[1][1] - m[2][2]) * 2;
    w = (m[2][1] - m[1][2]) / s;
    x = 0.25 * s;
    y = (m[0][1] + m[1][0]) / s;
    z = (m[0][2] + m[2][0]) / s;
  } else if (m[1][1] > m[2][2]) {
    double s = std::sqrt(1.0 + m[1][1] - m[0][0] - m[2][2]) * 2;
    w = (m[0][2] - m[2][0]) / s;
    x = (m[0][1] + m[1][0]) / s;
    y = 0.25 * s;
    z = (m[1][2] + m[2][1]) / s;
  } else {
    double s = std::sqrt(1.0 + m[2][2] - m[0][0] - m[1][1]) * 2;
    w = (m[1][0] - m[0][1]) / s;
    x = (m[0][2] + m[2][0]) / s;
    y = (m[1][2] + m[2][1]) / s;
    z = 0.25 * s;
  }
  if (!std::isfinite(x + y + z + w)) return Quaternion{};
  return Normalize(Quaternion{float(x), float(y), float(z), float(w)});
}

Matrix3 MatrixFromQuaternion(const Quaternion& input) {
  Quaternion q = Normalize(input);
  double x = q.x, y = q.y, z = q.z, w = q.w;
  Matrix3d r{{{1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
              {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
              {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}}};
  return ToFloat(r);
}

Quaternion Slerp(const Quaternion& a, const Quaternion& input, float t) {
  Quaternion b = input;
  double dot = double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z + double(a.w) * b.w;
  if (dot < 0) {  // shortest arc
    b = Quaternion{-b.x, -b.y, -b.z, -b.w};
    dot = -dot;
  }
  double wa, wb;
  if (dot > 0.9995) {
    wa = 1 - t;
    wb = t;
  } else {
    double angle = std::acos(dot);
    double s = std::sin(angle);
    wa = std::sin((1 - t) * angle) / s;
    wb = std::sin(t * angle) / s;
  }
  return Normalize(Quaternion{float(wa * a.x + wb * b.x), float(wa * a.y + wb * b.y),
                              float(wa * a.z + wb * b.z), float(wa * a.w + wb * b.w)});
}

Matrix3 Multiply(const Matrix3& a, const Matrix3& b) {
  Matrix3d r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double sum = 0;
      for (int k = 0; k < 3; ++k) sum += double(a.m[i][k]) * b.m[k][j];
      r.m[i][j] = sum;
    }
  return ToFloat(r);
}

Matrix3 Transpose(const Matrix3& a) {
  Matrix3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = a.m[j][i];
  return r;
}

float Determinant(const Matrix3& a) { return static_cast<float>(DeterminantD(ToDouble(a))); }

float LargestStretch(const float (&m)[3][3]) {
  // Power iteration on M^T M from a start that no real stretch is orthogonal
  // to in practice; a few steps settle well within what tolerances need.
  double a[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double sum = 0;
      for (int k = 0; k < 3; ++k) sum += double(m[k][i]) * m[k][j];
      a[i][j] = sum;
    }
  double v[3] = {0.577, 0.578, 0.576}, largest = 0;
  for (int step = 0; step < 32; ++step) {
    double w[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) w[i] += a[i][j] * v[j];
    const double length = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    if (!(length > 0) || !std::isfinite(length)) return 0.0f;
    for (int i = 0; i < 3; ++i) v[i] = w[i] / length;
    largest = length;  // the eigenvalue of M^T M, as v settles
  }
  return static_cast<float>(std::sqrt(largest));
}

HostMatrix Multiply(const HostMatrix& a, const HostMatrix& b) {
  HostMatrix r;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 3; ++j) {
      double sum = i == 3 ? b.m[3][j] : 0.0;
      for (int k = 0; k < 3; ++k) sum += double(a.m[i][k]) * b.m[k][j];
      r.m[i][j] = static_cast<float>(sum);
    }
  }
  return r;
}

bool Inverse(const HostMatrix& a, HostMatrix& out) {
  Matrix3d linear;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) linear.m[i][j] = a.m[i][j];
  Matrix3d inverseTranspose;
  if (!InverseTransposeD(linear, inverseTranspose)) return false;
  HostMatrix r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = static_cast<float>(inverseTranspose.m[j][i]);
  // Translation: -t * L^-1.
  for (int j = 0; j < 3; ++j) {
    double sum = 0;
    for (int k = 0; k < 3; ++k) sum -= double(a.m[3][k]) * inverseTranspose.m[j][k];
    r.m[3][j] = static_cast<float>(sum);
  }
  out = r;
  return true;
}

HostMatrix ComposeHostMatrix(const Vector3& position, const Quaternion& rotation,
                             const Vector3& scale) {
  Matrix3 r = MatrixFromQuaternion(rotation);  // column-vector form
  const float s[3] = {scale.x, scale.y, scale.z};
  HostMatrix h;
  // Row i of the host matrix is the image of axis i: scaled column i of R.
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) h.m[i][j] = s[i] * r.m[j][i];
  h.m[3][0] = position.x;
  h.m[3][1] = position.y;
  h.m[3][2] = position.z;
  return h;
}

Matrix3 LinearPart(const HostMatrix& a) {
  Matrix3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.m[i][j] = a.m[j][i];
  return r;
}

bool PolarDecompose(const Matrix3& input, float tolerance, Matrix3& q, Matrix3& s) {
  Matrix3d m = ToDouble(input);
  Matrix3d current = m;
  bool converged = false;
  for (int iteration = 0; iteration < 100; ++iteration) {
    Matrix3d inverseTranspose;
    if (!InverseTransposeD(current, inverseTranspose)) break;
    Matrix3d next;
    double change = 0;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        next.m[i][j] = 0.5 * (current.m[i][j] + inverseTranspose.m[i][j]);
        change += std::fabs(next.m[i][j] - current.m[i][j]);
      }
    current = next;
    if (!std::isfinite(change)) break;
    if (change < tolerance) {
      converged = true;
      break;
    }
  }
  // S = Q^T M, then symmetrised to remove round-off.
  Matrix3d sym{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double sum = 0;
      for (int k = 0; k < 3; ++k) sum += current.m[k][i] * m.m[k][j];
      sym.m[i][j] = sum;
    }
  for (int i = 0; i < 3; ++i)
    for (int j = i + 1; j < 3; ++j) sym.m[i][j] = sym.m[j][i] = 0.5 * (sym.m[i][j] + sym.m[j][i]);
  q = ToFloat(current);
  s = ToFloat(sym);
  return converged;
}

bool DecomposeHostMatrix(const HostMatrix& matrix, TransformParts& parts) {
  parts = TransformParts{};
  for (int j = 0; j < 3; ++j) parts.Position[j] = matrix.m[3][j];
  Matrix3 q, s;
  bool converged = PolarDecompose(LinearPart(matrix), 0.00001f, q, s);
  if (!converged && Determinant(LinearPart(matrix)) == 0) {
    // A singular matrix has no rotation to speak of: keep the linear part as
    // scale/shear so nothing is lost.
    q = Matrix3{};
    s = LinearPart(matrix);
  }
  if (Determinant(q) < 0) {
    // A mirror: Q is a reflection, which no unit quaternion can express.
    // (-Q)(-S) is the same product with a proper rotation.
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        q.m[i][j] = -q.m[i][j];
        s.m[i][j] = -s.m[i][j];
      }
  }
  Quaternion orientation = QuaternionFromMatrix(q);
  parts.Orientation[0] = orientation.x;
  parts.Orientation[1] = orientation.y;
  parts.Orientation[2] = orientation.z;
  parts.Orientation[3] = orientation.w;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) parts.ScaleShear[i][j] = s.m[i][j];
  return converged;
}

}  // namespace ketrel
