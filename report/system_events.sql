-- The appliance's event journal. proxywarden only inserts into it; the
-- appliance (or its set-up) creates the table.
CREATE TABLE IF NOT EXISTS `squid_admin_mysql` (
  `ID` INTEGER PRIMARY KEY AUTOINCREMENT,
  `zDate` INTEGER NOT NULL,
  `content` TEXT NOT NULL DEFAULT '',
  `subject` TEXT NOT NULL,
  `function` TEXT NOT NULL,
  `filename` TEXT NOT NULL,
  `line` INTEGER NOT NULL,
  `severity` INTEGER NOT NULL,
  `removeafter` INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS `squid_admin_mysql_zDate` ON `squid_admin_mysql` (`zDate`);
