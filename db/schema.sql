-- Schema of a site's database: every table the communications server reads
-- or writes.  STRICT tables; flags are -1 (true) and 0 (false); levels are
-- percent 0..100; dates are OLE dates (days since 1899-12-30, local time)
-- stored as REAL.  Text widths are checked by constraints named width_*, so
-- that a too-long text is refused rather than cut.  Outside programs read
-- and write these tables concurrently with the server (WAL mode).

-- Stored queries: name, verbatim Jet SQL text, creation and last-updated dates.
CREATE TABLE IF NOT EXISTS sysStoredQuery (
  Name TEXT PRIMARY KEY COLLATE NOCASE,
  SqlText TEXT NOT NULL,
  DateCreated REAL NOT NULL,
  LastUpdated REAL NOT NULL
) STRICT;

-- ---- requests ---------------------------------------------------------------

-- Requests written by outside programs (RequestState 0), carried out by the
-- server (3 in process, then 4 succeeded, 5 failed, 6 cancelled).  An
-- inserted row without RID gets the next one.  The server reads a RID as a
-- 32-bit number: one outside 1..2147483647 is refused (so is an insert
-- without RID once 2147483647 is taken).
CREATE TABLE tblTKZRequest (
  RID INTEGER PRIMARY KEY CONSTRAINT range_RID CHECK (RID BETWEEN 1 AND 2147483647),
  RequestPC TEXT CONSTRAINT width_RequestPC CHECK (length(RequestPC) <= 50),
  RequestState INTEGER NOT NULL DEFAULT 0 CHECK (RequestState BETWEEN -32768 AND 32767),
  RequestType INTEGER NOT NULL DEFAULT 0 CHECK (RequestType BETWEEN -32768 AND 32767),
  RequestSubType INTEGER NOT NULL DEFAULT 0 CHECK (RequestSubType BETWEEN -2147483648 AND 2147483647),
  ZoneID INTEGER NOT NULL DEFAULT 0 CHECK (ZoneID BETWEEN -2147483648 AND 2147483647),
  RequestDiagnostic TEXT CONSTRAINT width_RequestDiagnostic CHECK (length(RequestDiagnostic) <= 255)
) STRICT;
CREATE INDEX ixTKZRequestState ON tblTKZRequest (RequestState);

-- Parameter rows of a request, worked in the order they were inserted.
CREATE TABLE tblTKZRequestParam (
  ParamID INTEGER PRIMARY KEY,
  RID INTEGER NOT NULL CONSTRAINT range_ParamRID CHECK (RID BETWEEN 1 AND 2147483647),
  ParamNumber INTEGER NOT NULL DEFAULT 0 CHECK (ParamNumber BETWEEN -32768 AND 32767),
  ParamType INTEGER NOT NULL DEFAULT 0 CHECK (ParamType BETWEEN -32768 AND 32767),
  ParamValue TEXT CONSTRAINT width_ParamValue CHECK (length(ParamValue) <= 50)
) STRICT;
CREATE INDEX ixTKZRequestParamRID ON tblTKZRequestParam (RID);

-- ---- racks and dimmers (a rack's own zone is 10000 + its rack number) -------

CREATE TABLE tblRackConfig (
  ZoneID INTEGER PRIMARY KEY,
  ZoneParentID INTEGER NOT NULL DEFAULT 0,
  RackType INTEGER,
  SpecialWiringType TEXT CONSTRAINT width_SpecialWiringType CHECK (length(SpecialWiringType) <= 1),
  RackCase INTEGER,
  RackNumber INTEGER NOT NULL UNIQUE CHECK (RackNumber BETWEEN 1 AND 256),
  MuxTypeA INTEGER,
  MuxTypeB INTEGER,
  MuxFailPreset INTEGER,
  MuxFailHoldTime INTEGER,
  MuxFailMode INTEGER,
  BrevantPowerupPreset INTEGER,
  RackLanguage INTEGER,
  KeypadLockEnable INTEGER,
  FanSpeed INTEGER,
  DigitalDims INTEGER,
  AnalogOutputs INTEGER,
  AnalogInputs INTEGER,
  DigitalDimsFitted INTEGER,
  NumberRows INTEGER,
  NumberSlots INTEGER
) STRICT;
CREATE INDEX ixRackConfigParent ON tblRackConfig (ZoneParentID);

CREATE TABLE tblRackModuleMap (
  ZoneID INTEGER NOT NULL,
  Row INTEGER NOT NULL,
  ModuleType0 INTEGER, ModuleType1 INTEGER, ModuleType2 INTEGER,
  ModuleType3 INTEGER, ModuleType4 INTEGER, ModuleType5 INTEGER,
  PRIMARY KEY (ZoneID, Row)
) STRICT;

-- One row per dimmer; DimID = rack number x 1000 + DimNumber.
CREATE TABLE tblDimConfig (
  DimID INTEGER PRIMARY KEY,
  ZoneID INTEGER NOT NULL,
  DimNumber INTEGER NOT NULL,
  ModuleType INTEGER,
  StatusReportingEnable INTEGER,
  Response INTEGER,
  MinLevel INTEGER,
  MaxVoltage INTEGER,
  FluoTopset INTEGER,
  FluoCutoff INTEGER,
  NonDimThreshold INTEGER,
  MuxMode INTEGER,
  Curve INTEGER,
  AnalogIn INTEGER,
  AnalogInEnable INTEGER,
  ManualLevelEnable INTEGER,
  ManualLevel INTEGER,
  BvtRoom INTEGER,
  BvtCh INTEGER,
  PanicAction INTEGER,
  CableResistance INTEGER,
  LoadPercentTol INTEGER,
  MuxACh INTEGER,
  MuxBCh INTEGER,
  CircuitID INTEGER NOT NULL DEFAULT 0,
  relaycycles INTEGER,
  LearntWattage INTEGER,
  UNIQUE (ZoneID, DimNumber)
) STRICT;
-- A circuit belongs to one dimmer; 0 means none and may repeat.
CREATE UNIQUE INDEX ixDimConfigCircuit ON tblDimConfig (CircuitID) WHERE CircuitID <> 0;

CREATE TABLE tblRackUserCurvePoint (
  PointID INTEGER PRIMARY KEY,
  ZoneID INTEGER NOT NULL,
  UserCurve INTEGER NOT NULL,
  InputLevel INTEGER,
  OutputLevel INTEGER
) STRICT;
CREATE INDEX ixUserCurvePoint ON tblRackUserCurvePoint (ZoneID, UserCurve);

CREATE TABLE tblRackStatus (
  ZoneID INTEGER PRIMARY KEY,
  ZoneParentID INTEGER NOT NULL DEFAULT 0,
  ConnectStatus INTEGER NOT NULL DEFAULT 0,
  SoftwareVersion TEXT CONSTRAINT width_SoftwareVersion CHECK (length(SoftwareVersion) <= 50)
) STRICT;

CREATE TABLE tblModuleType (
  ModuleType INTEGER PRIMARY KEY,
  ModuleName TEXT CONSTRAINT width_ModuleName CHECK (length(ModuleName) <= 50)
) STRICT;

CREATE TABLE tblMuxType (
  MuxType INTEGER PRIMARY KEY,
  MuxTypeDescription TEXT CONSTRAINT width_MuxTypeDescription CHECK (length(MuxTypeDescription) <= 50),
  MuxProtocol INTEGER,
  MuxSpeed INTEGER,
  MaxChannel INTEGER
) STRICT;

CREATE TABLE tblLevel2Percent (
  Level INTEGER PRIMARY KEY,
  Percent INTEGER
) STRICT;

-- ---- presets and rooms (tables of the zone that holds the racks) -----------

CREATE TABLE tblQXVPreset (
  ZoneID INTEGER NOT NULL,
  PresetNumber INTEGER NOT NULL,
  PresetTime INTEGER,
  PRIMARY KEY (ZoneID, PresetNumber)
) STRICT;

-- One row of 100 presets per dimmer, read dimmer by dimmer.
CREATE TABLE tblQXVPresetLevel (
  DimID INTEGER NOT NULL,
  PresetNumber INTEGER NOT NULL,
  DimLevel INTEGER,
  PRIMARY KEY (DimID, PresetNumber)
) STRICT;

-- 16 rooms of 10 presets, read room by room.
CREATE TABLE tblBvtPreset (
  ZoneID INTEGER NOT NULL,
  RoomNumber INTEGER NOT NULL,
  PresetNumber INTEGER NOT NULL,
  PresetTime INTEGER,
  PRIMARY KEY (ZoneID, RoomNumber, PresetNumber)
) STRICT;

CREATE TABLE tblBvtPresetLevel (
  ZoneID INTEGER NOT NULL,
  PresetNumber INTEGER NOT NULL,
  RoomNumber INTEGER NOT NULL,
  Channel INTEGER NOT NULL,
  ChLevel INTEGER,
  PRIMARY KEY (ZoneID, PresetNumber, RoomNumber, Channel)
) STRICT;

CREATE TABLE tblBvtRoomLink (
  ZoneID INTEGER NOT NULL,
  RoomNumber INTEGER NOT NULL,
  RoomLink INTEGER,
  PRIMARY KEY (ZoneID, RoomNumber)
) STRICT;

-- Current preset of a zone, and of each of its rooms.
CREATE TABLE tblQXVZone (
  ZoneID INTEGER PRIMARY KEY,
  PresetNumber INTEGER
) STRICT;

CREATE TABLE tblBvtZone (
  ZoneID INTEGER NOT NULL,
  RoomNumber INTEGER NOT NULL,
  PresetNumber INTEGER,
  PRIMARY KEY (ZoneID, RoomNumber)
) STRICT;

-- ---- zone tree, dimmer groups ----------------------------------------------

-- A zone may appear under more than one parent.
CREATE TABLE tblZoneTree (
  TreeID INTEGER PRIMARY KEY,
  ZoneID INTEGER NOT NULL,
  ZoneParentID INTEGER NOT NULL DEFAULT 0,
  ZoneType TEXT CONSTRAINT width_ZoneType CHECK (length(ZoneType) <= 50)
) STRICT;
CREATE INDEX ixZoneTreeZone ON tblZoneTree (ZoneID);
CREATE INDEX ixZoneTreeParent ON tblZoneTree (ZoneParentID);

CREATE TABLE tblDimGroupDim (
  DimGroupID INTEGER NOT NULL,
  DimID INTEGER NOT NULL,
  PRIMARY KEY (DimGroupID, DimID)
) STRICT;

-- ---- cleaner and macro inputs ----------------------------------------------

CREATE TABLE tblCleanerIO (
  ZoneID INTEGER NOT NULL,
  AnalogIn INTEGER NOT NULL,
  AnalogInName TEXT CONSTRAINT width_AnalogInName CHECK (length(AnalogInName) <= 50),
  RackZoneID INTEGER NOT NULL DEFAULT 0,
  AnalogOutOn INTEGER,
  AnalogOutOff INTEGER,
  PRIMARY KEY (ZoneID, AnalogIn)
) STRICT;

CREATE TABLE tblCleanerZone (
  ZoneID INTEGER NOT NULL,
  AnalogIn INTEGER NOT NULL,
  AnalogInStatus INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (ZoneID, AnalogIn)
) STRICT;

CREATE TABLE tblMacroIO (
  ZoneID INTEGER NOT NULL,
  AnalogIn INTEGER NOT NULL,
  MacroID INTEGER,
  PRIMARY KEY (ZoneID, AnalogIn)
) STRICT;

-- ---- schedules and macros ---------------------------------------------------

CREATE TABLE tblSchedule (
  ScheduleID INTEGER PRIMARY KEY CONSTRAINT range_ScheduleID CHECK (ScheduleID BETWEEN 1 AND 2147483647),
  RequestState INTEGER NOT NULL DEFAULT 0,
  EventTime REAL,
  MacroID INTEGER,
  ActionedTimestamp REAL,
  ActionedDay INTEGER,
  Step INTEGER,
  RequestDiagnostic TEXT CONSTRAINT width_ScheduleDiagnostic CHECK (length(RequestDiagnostic) <= 255),
  EventID INTEGER,
  ScheduleDate REAL
) STRICT;
CREATE INDEX ixScheduleEventTime ON tblSchedule (EventTime);

CREATE TABLE tblMacroStep (
  MacroID INTEGER NOT NULL,
  Step INTEGER NOT NULL,
  Action INTEGER,
  ActionParam1 TEXT CONSTRAINT width_ActionParam1 CHECK (length(ActionParam1) <= 50),
  ActionParam2 TEXT CONSTRAINT width_ActionParam2 CHECK (length(ActionParam2) <= 50),
  ActionParam3 TEXT CONSTRAINT width_ActionParam3 CHECK (length(ActionParam3) <= 50),
  ActionParam4 TEXT CONSTRAINT width_ActionParam4 CHECK (length(ActionParam4) <= 50),
  PRIMARY KEY (MacroID, Step)
) STRICT;

-- ---- faults -----------------------------------------------------------------

CREATE TABLE tblFaultType (
  FaultType INTEGER PRIMARY KEY,
  FaultName TEXT CONSTRAINT width_FaultName CHECK (length(FaultName) <= 50),
  DisplayFormat TEXT CONSTRAINT width_DisplayFormat CHECK (length(DisplayFormat) <= 50),
  FaultCategory INTEGER
) STRICT;

-- The latest occurrence of each fault type at a rack (or node, 1000 + id)
-- and dimmer.
CREATE TABLE tblFaultStatus (
  FaultID INTEGER PRIMARY KEY,
  FaultType INTEGER NOT NULL,
  RackNumber INTEGER NOT NULL,
  DimmerNumber INTEGER NOT NULL DEFAULT 0,
  CircuitNumber INTEGER,
  AriseTimestamp REAL,
  SubsideTimestamp REAL,
  Diag1 INTEGER,
  Diag2 INTEGER,
  Description TEXT CONSTRAINT width_Description CHECK (length(Description) <= 255),
  UNIQUE (FaultType, RackNumber, DimmerNumber)
) STRICT;
CREATE INDEX ixFaultStatusRack ON tblFaultStatus (RackNumber);

-- ---- network nodes ----------------------------------------------------------

CREATE TABLE tblNodeType (
  NodeType INTEGER PRIMARY KEY,
  Name TEXT CONSTRAINT width_NodeTypeName CHECK (length(Name) <= 50)
) STRICT;

CREATE TABLE tblNode (
  NodeID INTEGER PRIMARY KEY,
  NodeName TEXT CONSTRAINT width_NodeName CHECK (length(NodeName) <= 50),
  NodeType INTEGER,
  IPAddress TEXT CONSTRAINT width_IPAddress CHECK (length(IPAddress) <= 50)
) STRICT;

CREATE TABLE tblNodePort (
  PortID INTEGER PRIMARY KEY,
  NodeID INTEGER NOT NULL,
  PortNumber INTEGER,
  PortCategory INTEGER
) STRICT;
CREATE INDEX ixNodePortNode ON tblNodePort (NodeID);

CREATE TABLE tblNodePortRack (
  PortID INTEGER NOT NULL,
  RackNumber INTEGER NOT NULL,
  PRIMARY KEY (PortID, RackNumber)
) STRICT;

CREATE TABLE tblNodeStatus (
  NodeID INTEGER PRIMARY KEY,
  ConnectStatus INTEGER NOT NULL DEFAULT 0
) STRICT;

-- Network patch files and when they were last sent, and by whom.
CREATE TABLE tblNetPatch (
  PatchID INTEGER PRIMARY KEY,
  DldDate REAL,
  DldUser TEXT CONSTRAINT width_DldUser CHECK (length(DldUser) <= 50)
) STRICT;
