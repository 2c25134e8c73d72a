#pragma once
#include <QString>
#include <array>
#include <cstdint>

namespace tesmira {

// How a parameter's value travels on the bus; the same codes select the
// typed read and write calls of the fieldbus library.
enum VarTypeCode : uint8_t {
  VarChar = 0,    // "c" with VarLength empty or 0: one character / unsigned byte
  VarInteger = 1, // "i": 16-bit integer
  VarFloat = 2,   // "f": single-precision float
  VarLong = 3,    // "l": 32-bit long
  VarString = 4,  // "c" with any other VarLength: string
  VarNone = 255,  // anything else, or empty
};

// One parameter definition as loaded from AllParameters. A parameter number
// without a row keeps a default-constructed record (numbers 0, texts empty,
// flags false); such a record is recognised by its empty Name.
struct ParameterDef {
  int16_t ParNr = 0;            // Parameter; equals the record's index
  QString Name;                 // exactly 10 characters, blank-padded (empty for a gap)
  QString LongName;
  uint8_t Process = 0;          // 255 when the column is empty ("the channel's own process")
  uint8_t FBnr = 0;             // parameter number within the process on the bus
  std::array<uint8_t, 2> VarType{0, 0}; // VarTypeCode of VarType and VarType2
  uint8_t VarLength = 0;        // string length belonging to VarType[0]; 0 otherwise
  double Min = 0;
  double Max = 0;
  bool Read = false;
  bool Write = false;
  bool Poll = false;
  bool Advanced = false;
  bool Secured = false;         // Secured OR "Highly secured"
  std::array<int16_t, 3> Group{0, 0, 0};
  bool Available = false;
};

}
