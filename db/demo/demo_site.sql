-- Seed data of the demo site: a small plant of two network nodes with four
-- racks, and two racks on the PC's own COM1 line (direct connect).  Applied
-- by `drovana-site DIR ... --seed db/demo/demo_site.sql` to a new site, in
-- the same transaction as the schema.
--
-- Addresses: this PC 127.0.0.1, NODE1 127.0.0.2, NODE2 127.0.0.3 (the
-- loopback lab).  A port's slot on its node is PortNumber + 1 (the node
-- types' names do not contain "Test"); PortCategory 2 is a supervisory
-- (rack) port.
--
-- Zones: 1 building "Theatre" (TreeGroup) with floors 2 "Stage" and
-- 3 "Foyer" (Racks), and 4 "Plant room" (Racks) for the direct-connect
-- racks.  A rack's own zone is 10000 + its number; the zones that hold racks
-- (2, 3, 4) carry the presets, rooms, cleaner and macro inputs.

-- ---- node types and nodes ----------------------------------------------------

INSERT INTO tblNodeType (NodeType, Name) VALUES
  (5, 'Rack network node'),
  (20, 'Control PC');

-- NodeID order is the order the server hands the nodes to its comm thread.
INSERT INTO tblNode (NodeID, NodeName, NodeType, IPAddress) VALUES
  (1, 'NODE1', 5, '127.0.0.2'),
  (2, 'NODE2', 5, '127.0.0.3'),
  (3, 'PC', 20, '127.0.0.1');

INSERT INTO tblNodeStatus (NodeID, ConnectStatus) VALUES (1, 0), (2, 0), (3, 0);

-- NODE1: rack ports on slots 1 and 2, and a non-rack port; NODE2: one rack
-- port on slot 1; PC: COM1 is the direct-connect link's slot 2.
INSERT INTO tblNodePort (PortID, NodeID, PortNumber, PortCategory) VALUES
  (11, 1, 0, 2),
  (12, 1, 1, 2),
  (13, 1, 3, 1),
  (21, 2, 0, 2),
  (31, 3, 1, 2);

INSERT INTO tblNodePortRack (PortID, RackNumber) VALUES
  (11, 1), (11, 2),
  (12, 3),
  (21, 4),
  (31, 5), (31, 6);

-- ---- zone tree ---------------------------------------------------------------

INSERT INTO tblZoneTree (TreeID, ZoneID, ZoneParentID, ZoneType) VALUES
  (1, 1, 0, 'TreeGroup'),
  (2, 2, 1, 'Racks'),
  (3, 3, 1, 'Racks'),
  (4, 4, 1, 'Racks'),
  (5, 10001, 2, 'Rack'),
  (6, 10002, 2, 'Rack'),
  (7, 10003, 3, 'Rack'),
  (8, 10004, 3, 'Rack'),
  (9, 10005, 4, 'Rack'),
  (10, 10006, 4, 'Rack');

-- ---- racks -------------------------------------------------------------------

INSERT INTO tblMuxType (MuxType, MuxTypeDescription, MuxProtocol, MuxSpeed, MaxChannel) VALUES
  (0, 'None', 0, 0, 0),
  (1, 'DMX512', 1, 1, 512),
  (2, 'Analogue 0-10V', 2, 0, 48);

INSERT INTO tblModuleType (ModuleType, ModuleName) VALUES
  (1, '2.5kW dimmer'),
  (2, '5kW dimmer'),
  (3, 'Relay');

INSERT INTO tblRackConfig (ZoneID, ZoneParentID, RackType, SpecialWiringType, RackCase, RackNumber,
    MuxTypeA, MuxTypeB, MuxFailPreset, MuxFailHoldTime, MuxFailMode, BrevantPowerupPreset,
    RackLanguage, KeypadLockEnable, FanSpeed, DigitalDims, AnalogOutputs, AnalogInputs,
    DigitalDimsFitted, NumberRows, NumberSlots) VALUES
  (10001, 2, 1, NULL, 0, 1, 1, 0, 1, 10, 0, 0, 0, 0, 1, 12, 2, 4, 12, 2, 6),
  (10002, 2, 1, NULL, 0, 2, 1, 0, 1, 10, 0, 0, 0, 0, 1, 12, 2, 4, 12, 2, 6),
  (10003, 3, 2, NULL, 0, 3, 1, 0, 0, 0, 0, 0, 0, 0, 1, 6, 2, 2, 6, 1, 6),
  (10004, 3, 2, NULL, 0, 4, 1, 0, 0, 0, 0, 0, 0, 0, 1, 6, 2, 2, 6, 1, 6),
  (10005, 4, 1, NULL, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 1, 12, 2, 4, 12, 2, 6),
  (10006, 4, 1, NULL, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 1, 12, 2, 4, 12, 2, 6);

INSERT INTO tblRackModuleMap (ZoneID, Row, ModuleType0, ModuleType1, ModuleType2, ModuleType3,
    ModuleType4, ModuleType5) VALUES
  (10001, 0, 1, 1, 1, 1, 1, 1),
  (10001, 1, 2, 2, 2, 2, 3, 3);

INSERT INTO tblRackStatus (ZoneID, ZoneParentID, ConnectStatus, SoftwareVersion) VALUES
  (10001, 2, 0, NULL),
  (10002, 2, 0, NULL),
  (10003, 3, 0, NULL),
  (10004, 3, 0, NULL),
  (10005, 4, 0, NULL),
  (10006, 4, 0, NULL);

-- A few dimmers of rack 1 (DimID = rack x 1000 + DimNumber) and of rack 5.
INSERT INTO tblDimConfig (DimID, ZoneID, DimNumber, ModuleType, StatusReportingEnable, Response,
    MinLevel, MaxVoltage, FluoTopset, FluoCutoff, NonDimThreshold, MuxMode, Curve, AnalogIn,
    AnalogInEnable, ManualLevelEnable, ManualLevel, BvtRoom, BvtCh, PanicAction, CableResistance,
    LoadPercentTol, MuxACh, MuxBCh, CircuitID, relaycycles, LearntWattage) VALUES
  (1001, 10001, 1, 1, -1, 0, 0, 230, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 10, 1, 0, 101, 0, 0),
  (1002, 10001, 2, 1, -1, 0, 0, 230, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 0, 0, 10, 2, 0, 102, 0, 0),
  (1003, 10001, 3, 1, -1, 1, 5, 230, 0, 0, 0, 0, 1, 1, -1, 0, 0, 2, 1, 1, 0, 10, 3, 0, 103, 0, 0),
  (1004, 10001, 4, 2, 0, 0, 0, 230, 0, 0, 50, 0, 0, 0, 0, -1, 40, 2, 2, 0, 0, 10, 4, 0, 104, 0, 0),
  (5001, 10005, 1, 1, -1, 0, 0, 230, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 1, 0, 501, 0, 0),
  (5002, 10005, 2, 1, -1, 0, 0, 230, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 2, 0, 502, 0, 0);

-- Level table: rack level 0..255 to percent (a straight line).
WITH RECURSIVE lv(Level) AS (SELECT 0 UNION ALL SELECT Level + 1 FROM lv WHERE Level < 255)
INSERT INTO tblLevel2Percent (Level, Percent) SELECT Level, (100 * Level + 127) / 255 FROM lv;

-- ---- presets and rooms of the stage zone (2) --------------------------------

INSERT INTO tblQXVPreset (ZoneID, PresetNumber, PresetTime) VALUES
  (2, 1, 3),
  (2, 2, 10);
INSERT INTO tblQXVPresetLevel (DimID, PresetNumber, DimLevel) VALUES
  (1001, 1, 100), (1002, 1, 75), (1003, 1, 50), (1004, 1, 0),
  (1001, 2, 20), (1002, 2, 20), (1003, 2, 20), (1004, 2, 100);
INSERT INTO tblQXVZone (ZoneID, PresetNumber) VALUES (2, 1), (3, 0), (4, 0);

INSERT INTO tblBvtPreset (ZoneID, RoomNumber, PresetNumber, PresetTime) VALUES
  (2, 1, 1, 2),
  (2, 2, 1, 5);
INSERT INTO tblBvtPresetLevel (ZoneID, PresetNumber, RoomNumber, Channel, ChLevel) VALUES
  (2, 1, 1, 1, 80), (2, 1, 1, 2, 60),
  (2, 1, 2, 1, 40), (2, 1, 2, 2, 0);
INSERT INTO tblBvtRoomLink (ZoneID, RoomNumber, RoomLink) VALUES (2, 1, 0), (2, 2, 1);
INSERT INTO tblBvtZone (ZoneID, RoomNumber, PresetNumber) VALUES (2, 1, 1), (2, 2, 0);

-- ---- cleaner lights of the foyer (3): rack 3's analog input 1 -------------

INSERT INTO tblCleanerIO (ZoneID, AnalogIn, AnalogInName, RackZoneID, AnalogOutOn, AnalogOutOff) VALUES
  (3, 1, 'Foyer cleaners', 10003, 1, 0);
INSERT INTO tblCleanerZone (ZoneID, AnalogIn, AnalogInStatus) VALUES (3, 1, 0);

-- ---- a macro and its schedule entry ------------------------------------------

-- Macro 1: QXV preset 1 in zone 2, wait 5 s, Brevant preset 1 in all rooms
-- of zone 2.  Rack 1's second macro input starts it too: a macro input
-- belongs to the rack's own zone (10000 + rack number) and is named by its
-- bit in the rack's input word (bits 4 to 7), so bit 5.
INSERT INTO tblMacroStep (MacroID, Step, Action, ActionParam1, ActionParam2, ActionParam3, ActionParam4) VALUES
  (1, 1, 0, '2', '1', NULL, NULL),
  (1, 2, 4, '0:0:5', NULL, NULL, NULL),
  (1, 3, 1, '2', '0', '1', NULL);
INSERT INTO tblMacroIO (ZoneID, AnalogIn, MacroID) VALUES (10001, 5, 1);

-- Runs the macro two minutes after the site was made (dates are OLE dates:
-- days since 1899-12-30, local time; EventTime holds the time of day).
INSERT INTO tblSchedule (ScheduleID, RequestState, EventTime, MacroID, ActionedTimestamp,
    ActionedDay, Step, RequestDiagnostic, EventID, ScheduleDate) VALUES
  (1, 0,
   (julianday('now', 'localtime', '+2 minutes') - julianday('1899-12-30'))
     - CAST(julianday('now', 'localtime', '+2 minutes') - julianday('1899-12-30') AS INTEGER),
   1, NULL, NULL, 0, NULL, 1,
   CAST(julianday('now', 'localtime', '+2 minutes') - julianday('1899-12-30') AS INTEGER));

INSERT INTO tblFaultType (FaultType, FaultName, DisplayFormat, FaultCategory) VALUES
  (1000, 'Rack down', 'Rack %d not responding', 1),
  (1001, 'Node down', 'Node %s not responding', 1);  -- a node outage names the node

-- ---- network patch -----------------------------------------------------------

-- The patch the demo's network patch request (type 6, sub-type 1 = NODE1,
-- ZoneID 1 = this PatchID) stamps with the date and the requesting PC.
INSERT INTO tblNetPatch (PatchID, DldDate, DldUser) VALUES (1, NULL, NULL);
